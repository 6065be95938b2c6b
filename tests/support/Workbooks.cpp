#include "support/Workbooks.h"

#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-output-stdio.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "common/CodePage.h"
#include "workbook/GsfHandles.h"
#include "workbook/SpreadsheetSession.h"

namespace pos::testing {

std::vector<std::string> defaultHeadings(const datasets::Dataset& dataset, std::size_t count) {
    std::vector<std::string> headings;
    for (const datasets::DatasetColumn& column : dataset.columns) {
        if (headings.size() == count) {
            break;
        }
        headings.emplace_back(column.heading);
    }
    return headings;
}

void writeWorkbook(const std::string& path, const std::vector<std::vector<std::string>>& grid,
                   int firstRow) {
    workbook::SpreadsheetSession session;
    session.startExcel();
    session.addWorkbook();
    session.nameFirstSheet("Sheet1");
    session.sheetByName("Sheet1");
    for (std::size_t r = 0; r < grid.size(); ++r) {
        for (std::size_t c = 0; c < grid[r].size(); ++c) {
            if (!grid[r][c].empty()) {
                session.writeCell(firstRow + static_cast<int>(r), static_cast<int>(c) + 1,
                                  grid[r][c]);
            }
        }
    }
    session.saveSheetAs(path);
    session.quitExcel();
    session.releaseExcel();
}

namespace {

void put16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void putRecord(std::string& out, std::uint16_t type, const std::string& data) {
    put16(out, type);
    put16(out, static_cast<std::uint16_t>(data.size()));
    out += data;
}

std::string gbk(const std::string& utf8) {
    const std::optional<std::string> text = convertText("GBK", "UTF-8", utf8);
    if (!text) {
        throw std::runtime_error("not representable in GBK: " + utf8);
    }
    return *text;
}

// A byte string with an 8-bit count, as BIFF5 names and formats are written.
std::string shortText(const std::string& utf8) {
    const std::string bytes = gbk(utf8);
    return std::string(1, static_cast<char>(bytes.size())) + bytes;
}

std::string cellHeader(int row, int column, std::uint16_t xf) {
    std::string out;
    put16(out, static_cast<std::uint16_t>(row));
    put16(out, static_cast<std::uint16_t>(column));
    put16(out, xf);
    return out;
}

std::string number(double v) {
    std::string out(8, '\0');
    std::memcpy(out.data(), &v, 8);
    return out;
}

// The serial day number of a date written yyyy-mm-dd, in the 1900 system.
std::optional<double> dateSerial(const std::string& text) {
    int y = 0, m = 0, d = 0;
    char tail = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) {
        return std::nullopt;
    }
    // Days from the civil calendar, counted from 1970-01-01.
    y -= m <= 2 ? 1 : 0;
    const int era = y / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468 + 25569.0;
}

std::optional<double> plainNumber(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    return *end == '\0' ? std::optional<double>(v) : std::nullopt;
}

// BOF of the given kind of substream, as Excel 95 writes it.
std::string bof(std::uint16_t kind) {
    std::string data;
    put16(data, 0x0500);
    put16(data, kind);
    put16(data, 0x0DBB);  // build
    put16(data, 1995);    // year
    std::string out;
    putRecord(out, 0x0809, data);
    return out;
}

}  // namespace

void writeExcel95Workbook(const std::string& path,
                          const std::vector<std::vector<std::string>>& grid, int firstRow,
                          const std::string& extraGlobals, const std::string& extraCells) {
    constexpr std::uint16_t kGeneralXf = 15, kDateXf = 16, kYuanXf = 17;
    std::string cells;
    int lastRow = -1, lastColumn = -1;
    for (std::size_t r = 0; r < grid.size(); ++r) {
        for (std::size_t c = 0; c < grid[r].size(); ++c) {
            const std::string& text = grid[r][c];
            if (text.empty()) {
                continue;
            }
            const int row = firstRow - 1 + static_cast<int>(r);
            const int column = static_cast<int>(c);
            lastRow = std::max(lastRow, row);
            lastColumn = std::max(lastColumn, column);
            if (const auto serial = dateSerial(text)) {
                putRecord(cells, 0x0203, cellHeader(row, column, kDateXf) + number(*serial));
            } else if (const auto v = plainNumber(text)) {
                putRecord(cells, 0x0203, cellHeader(row, column, kGeneralXf) + number(*v));
            } else {
                const std::string bytes = gbk(text);
                std::string data = cellHeader(row, column, kGeneralXf);
                put16(data, static_cast<std::uint16_t>(bytes.size()));
                putRecord(cells, 0x0204, data + bytes);
            }
        }
    }
    std::string dimensions;
    put16(dimensions, static_cast<std::uint16_t>(firstRow - 1));
    put16(dimensions, static_cast<std::uint16_t>(lastRow + 1));
    put16(dimensions, 0);
    put16(dimensions, static_cast<std::uint16_t>(lastColumn + 1));
    put16(dimensions, 0);
    std::string sheet = bof(0x0010);
    putRecord(sheet, 0x0200, dimensions);
    sheet += cells + extraCells;
    putRecord(sheet, 0x000A, "");

    auto globals = [&](std::uint32_t sheetAt) {
        std::string out = bof(0x0005);
        std::string codePage;
        put16(codePage, 936);
        putRecord(out, 0x0042, codePage);
        for (int i = 0; i < 4; ++i) {  // FONT: 12 points, normal weight, 宋体
            std::string font;
            for (std::uint16_t v : {240, 0, 0x7FFF, 400, 0}) {
                put16(font, v);
            }
            putRecord(out, 0x0031, font + std::string("\0\0\x86\0", 4) + shortText("宋体"));
        }
        std::string yuan, date;
        put16(yuan, 164);
        putRecord(out, 0x041E, yuan + shortText("\"￥\"#,##0.00"));
        put16(date, 165);
        putRecord(out, 0x041E, date + shortText("yyyy\"年\"m\"月\"d\"日\""));
        out += extraGlobals;
        // XF: fifteen style XFs, then the cell XFs: General, the date, ￥.
        for (int i = 0; i < 18; ++i) {
            std::string xf;
            put16(xf, 0);
            put16(xf, i == kDateXf ? 165 : i == kYuanXf ? 164 : 0);
            put16(xf, i < 15 ? 0xFFF5 : 0x0001);
            putRecord(out, 0x00E0, xf + std::string(10, '\0'));
        }
        std::string sheetEntry;
        put16(sheetEntry, static_cast<std::uint16_t>(sheetAt & 0xFFFF));
        put16(sheetEntry, static_cast<std::uint16_t>(sheetAt >> 16));
        putRecord(out, 0x0085, sheetEntry + std::string(2, '\0') + shortText("工作表1"));
        putRecord(out, 0x000A, "");
        return out;
    };
    const std::string stream = globals(static_cast<std::uint32_t>(globals(0).size())) + sheet;

    workbook::ensureGsf();
    GError* error = nullptr;
    workbook::GsfHandle<GsfOutput> sink(gsf_output_stdio_new(path.c_str(), &error));
    if (!sink) {
        g_clear_error(&error);
        throw std::runtime_error("cannot create " + path);
    }
    workbook::GsfHandle<GsfOutfile> ole(gsf_outfile_msole_new(sink.get()));
    workbook::GsfHandle<GsfOutput> book(gsf_outfile_new_child(ole.get(), "Book", FALSE));
    gsf_output_write(book.get(), stream.size(), reinterpret_cast<const guint8*>(stream.data()));
    gsf_output_close(book.get());
    gsf_output_close(GSF_OUTPUT(ole.get()));
    if (!gsf_output_is_closed(sink.get())) {
        gsf_output_close(sink.get());
    }
}

}  // namespace pos::testing
