// Support for the .xls tests: the independent readers
// (python3-xlrd, LibreOffice), and hand-made BIFF streams in a compound file.
#pragma once

#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "workbook/GsfHandles.h"
#include "workbook/SpreadsheetSession.h"
#include "xlsx_support.h"

namespace xlstest {

namespace fs = std::filesystem;

// One temporary folder class for the .xls and the .xlsx tests.
using xlsxtest::TempDir;

// Runs a shell command line; its standard output. Throws when it fails.
inline std::string run(const std::string& command) {
    pos::testing::ProgramRun r = pos::testing::runProgram({"/bin/sh", "-c", command});
    if (r.exitCode != 0) {
        throw std::runtime_error("command failed (" + std::to_string(r.exitCode) + "): " + command +
                                 "\n" + r.err);
    }
    return r.out;
}
inline std::string fromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// What xlrd sees in the first sheet: each non-empty cell's type and value as
// text (dates as Y-M-D h:m:s), and whether its XF wraps text.
struct XlrdCell {
    int type = 0;  // xlrd ctype: 1 text, 2 number, 3 date, 4 boolean, 5 error, 6 blank
    std::string value;
    bool wrap = false;
};
struct XlrdSheet {
    std::string name;
    int rows = 0;
    int columns = 0;
    std::vector<std::string> sheetNames;
    std::map<std::pair<int, int>, XlrdCell> cells;
};

inline XlrdSheet readWithXlrd(const std::string& path) {
    static const char* script = R"PY(
import sys, xlrd
b = xlrd.open_workbook(sys.argv[1], formatting_info=True)
s = b.sheet_by_index(0)
h = lambda t: t.encode('utf-8').hex() or '-'
print('S', h(s.name), s.nrows, s.ncols)
print('N', ' '.join(h(n) for n in b.sheet_names()))
for r in range(s.nrows):
    for c in range(s.ncols):
        cell = s.cell(r, c)
        if cell.ctype == 0: continue
        v = cell.value
        if cell.ctype == 1: t = v
        elif cell.ctype == 2: t = repr(float(v))
        elif cell.ctype == 3:
            y, mo, d, hh, mi, ss = xlrd.xldate_as_tuple(v, b.datemode)
            t = '%04d-%02d-%02d %02d:%02d:%02d' % (y, mo, d, hh, mi, ss)
        elif cell.ctype in (4, 5): t = str(int(v))
        else: t = ''
        wrap = b.xf_list[cell.xf_index].alignment.text_wrapped
        print('C', r, c, cell.ctype, int(wrap), h(t))
)PY";
    const std::string scriptPath = path + ".dump.py";
    std::ofstream(scriptPath) << script;
    std::istringstream in(run("/usr/bin/python3 '" + scriptPath + "' '" + path + "'"));
    std::remove(scriptPath.c_str());
    XlrdSheet sheet;
    std::string tag;
    while (in >> tag) {
        if (tag == "S") {
            std::string name;
            in >> name >> sheet.rows >> sheet.columns;
            sheet.name = name == "-" ? "" : fromHex(name);
        } else if (tag == "N") {
            std::string line;
            std::getline(in, line);
            std::istringstream names(line);
            std::string n;
            while (names >> n)
                sheet.sheetNames.push_back(fromHex(n));
        } else {
            int r, c, wrap;
            XlrdCell cell;
            std::string value;
            in >> r >> c >> cell.type >> wrap >> value;
            cell.wrap = wrap != 0;
            cell.value = value == "-" ? "" : fromHex(value);
            sheet.cells[{r, c}] = cell;
        }
    }
    return sheet;
}

// LibreOffice's view of the first sheet, converted to UTF-8 CSV.
inline std::vector<std::vector<std::string>> readWithLibreOffice(const std::string& path,
                                                                 const std::string& outDir) {
    return xlsxtest::parseCsv(xlsxtest::readFile(xlsxtest::convertWithLibreOffice(
        path, outDir, "csv:Text - txt - csv (StarCalc):44,34,76,1", "csv")));
}

// A hand-made BIFF stream, record by record.
class Biff {
public:
    Biff& rec(std::uint16_t type, const std::string& data) {
        put16(type);
        put16(static_cast<std::uint16_t>(data.size()));
        m_bytes += data;
        return *this;
    }
    std::size_t size() const { return m_bytes.size(); }
    std::string& bytes() { return m_bytes; }

private:
    void put16(std::uint16_t v) {
        m_bytes.push_back(static_cast<char>(v & 0xFF));
        m_bytes.push_back(static_cast<char>(v >> 8));
    }
    std::string m_bytes;
};

inline std::string u16(std::uint16_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
inline std::string u32(std::uint32_t v) {
    return u16(v & 0xFFFF) + u16(v >> 16);
}
inline std::string f64(double d) {
    std::string s(8, '\0');
    std::memcpy(s.data(), &d, 8);
    return s;
}

// Writes `bytes` as the stream `streamName` of a new compound file.
inline void writeCompound(const std::string& path, const std::string& streamName,
                          const std::string& bytes) {
    pos::workbook::ensureGsf();
    GError* error = nullptr;
    pos::workbook::GsfHandle<GsfOutput> sink(gsf_output_stdio_new(path.c_str(), &error));
    if (!sink)
        throw std::runtime_error("cannot create " + path);
    pos::workbook::GsfHandle<GsfOutfile> ole(gsf_outfile_msole_new(sink.get()));
    pos::workbook::GsfHandle<GsfOutput> child(
        gsf_outfile_new_child(ole.get(), streamName.c_str(), FALSE));
    gsf_output_write(child.get(), bytes.size(), reinterpret_cast<const guint8*>(bytes.data()));
    gsf_output_close(child.get());
    gsf_output_close(GSF_OUTPUT(ole.get()));
    if (!gsf_output_is_closed(sink.get()))
        gsf_output_close(sink.get());
}

// The row, column and format index that begin a cell record.
inline std::string cell(std::uint16_t row, std::uint16_t col, std::uint16_t xf) {
    return u16(row) + u16(col) + u16(xf);
}

// Writes one sheet through the session, as the export does.
inline void writeSheet(const std::string& path, const std::vector<std::vector<std::string>>& rows,
                       const std::string& name = "Menu", int firstRow = 1) {
    pos::workbook::SpreadsheetSession s;
    s.startExcel();
    s.addWorkbook();
    s.nameFirstSheet(name);
    s.sheetByName(name);
    s.wrapAllCells();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            s.writeCell(firstRow + static_cast<int>(r), static_cast<int>(c) + 1, rows[r][c]);
        }
    }
    s.saveSheetAs(path);
    s.quitExcel();
    s.releaseExcel();
}

inline std::string repeat(const std::string& unit, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i)
        out += unit;
    return out;
}

}  // namespace xlstest
