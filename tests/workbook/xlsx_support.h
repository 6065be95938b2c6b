// Helpers for the .xlsx tests: a temporary folder, packages built byte by
// byte with libzip, and the independent readers and writers (openpyxl under
// /usr/bin/python3, LibreOffice headless).
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"

namespace xlsxtest {

namespace fs = std::filesystem;

using pos::testing::TempDir;

using pos::testing::readFile;
using pos::testing::writeFile;

// A zip package of the given parts, stored compressed.
inline void makePackage(const std::string& path,
                        const std::vector<std::pair<std::string, std::string>>& parts) {
    int error = 0;
    zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!zip) {
        throw std::runtime_error("zip_open failed");
    }
    for (const auto& [name, content] : parts) {
        zip_source_t* source = zip_source_buffer(zip, content.data(), content.size(), 0);
        if (!source || zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
            zip_discard(zip);
            throw std::runtime_error("zip_file_add failed");
        }
    }
    if (zip_close(zip) != 0) {
        throw std::runtime_error("zip_close failed");
    }
}

// The parts of a minimal workbook whose first sheet is `sheetXml`.
inline std::vector<std::pair<std::string, std::string>> minimalParts(
    const std::string& sheetXml, const std::string& sharedStrings = {},
    const std::string& styles = {}, const std::string& workbookPr = {}) {
    const std::string ns = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
    std::vector<std::pair<std::string, std::string>> parts = {
        {"[Content_Types].xml",
         "<?xml version=\"1.0\"?><Types "
         "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>"},
        {"_rels/.rels",
         "<?xml version=\"1.0\"?><Relationships "
         "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" +
             ns + "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>"},
        {"xl/workbook.xml",
         "<?xml version=\"1.0\"?><workbook "
         "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" xmlns:r=\"" +
             ns + "\">" + workbookPr +
             "<sheets><sheet name=\"First\" sheetId=\"1\" r:id=\"rId1\"/>"
             "<sheet name=\"Second\" sheetId=\"2\" r:id=\"rId2\"/></sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels",
         "<?xml version=\"1.0\"?><Relationships "
         "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" +
             ns +
             "/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
             "<Relationship Id=\"rId2\" Type=\"" +
             ns +
             "/worksheet\" Target=\"/xl/worksheets/sheet2.xml\"/>"
             "<Relationship Id=\"rId3\" Type=\"" +
             ns +
             "/sharedStrings\" Target=\"sharedStrings.xml\"/>"
             "<Relationship Id=\"rId4\" Type=\"" +
             ns + "/styles\" Target=\"styles.xml\"/></Relationships>"},
        {"xl/worksheets/sheet1.xml",
         "<?xml version=\"1.0\"?><worksheet "
         "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
         "<sheetData>" +
             sheetXml + "</sheetData></worksheet>"},
        {"xl/worksheets/sheet2.xml",
         "<?xml version=\"1.0\"?><worksheet "
         "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData/>"
         "</worksheet>"},
    };
    if (!sharedStrings.empty()) {
        parts.push_back({"xl/sharedStrings.xml",
                         "<?xml version=\"1.0\"?><sst "
                         "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" +
                             sharedStrings + "</sst>"});
    }
    if (!styles.empty()) {
        parts.push_back({"xl/styles.xml",
                         "<?xml version=\"1.0\"?><styleSheet "
                         "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" +
                             styles + "</styleSheet>"});
    }
    return parts;
}

// Runs a program with arguments (no shell); returns its exit status and stdout.
inline std::pair<int, std::string> run(const std::vector<std::string>& argv) {
    pos::testing::ProgramRun r = pos::testing::runProgram(argv);
    return {r.exitCode, std::move(r.out)};
}
inline std::pair<int, std::string> python(const std::string& script,
                                          const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

// One cell as openpyxl reads it: (row, column) 1-based -> "type:value" with
// the value escaped so that it fits on one line.
using CellMap = std::map<std::pair<int, int>, std::string>;

inline const char* kOpenpyxlDump = R"PY(
import sys, datetime, openpyxl
wb = openpyxl.load_workbook(sys.argv[1], data_only=True, read_only=False)
ws = wb.worksheets[0]
print("SHEET\t" + ws.title.encode('unicode_escape').decode('ascii'))
for row in ws.iter_rows():
    for c in row:
        v = c.value
        if v is None:
            continue
        if isinstance(v, bool):
            t, s = "b", "1" if v else "0"
        elif isinstance(v, (int, float)):
            t, s = "n", repr(float(v))
        elif isinstance(v, datetime.datetime):
            t, s = "d", v.strftime("%Y-%m-%d %H:%M:%S")
        elif isinstance(v, datetime.date):
            t, s = "d", v.strftime("%Y-%m-%d 00:00:00")
        elif isinstance(v, datetime.time):
            t, s = "d", "1899-12-30 " + v.strftime("%H:%M:%S")
        elif isinstance(v, str) and v.startswith("#") and c.data_type == "e":
            t, s = "e", v
        else:
            t, s = "s", str(v)
        print("%d\t%d\t%s\t%s\t%d" % (c.row, c.column, t, s.encode('unicode_escape').decode('ascii'),
              1 if c.alignment is not None and c.alignment.wrap_text else 0))
)PY";

inline std::string unescapePython(const std::string& s) {
    // Undoes Python's unicode_escape: \\, \n, \t, \r, \xHH, \uHHHH, \UHHHHHHHH.
    std::string out;
    auto put = [&](unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char k = s[++i];
        int hex = k == 'x' ? 2 : k == 'u' ? 4 : k == 'U' ? 8 : 0;
        if (hex) {
            put(static_cast<unsigned>(
                std::stoul(s.substr(i + 1, static_cast<std::size_t>(hex)), nullptr, 16)));
            i += static_cast<std::size_t>(hex);
        } else {
            out += k == 'n' ? '\n' : k == 't' ? '\t' : k == 'r' ? '\r' : k;
        }
    }
    return out;
}

struct OpenpyxlSheet {
    std::string title;
    CellMap cells;                             // "type:value"
    std::map<std::pair<int, int>, bool> wrap;  // alignment.wrap_text
};

inline OpenpyxlSheet readWithOpenpyxl(const std::string& path) {
    auto [status, out] = python(kOpenpyxlDump, {path});
    if (status != 0) {
        throw std::runtime_error("openpyxl could not read " + path);
    }
    OpenpyxlSheet sheet;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos;
             start = tab + 1) {
            f.push_back(line.substr(start, tab - start));
        }
        f.push_back(line.substr(start));
        if (f[0] == "SHEET") {
            sheet.title = unescapePython(f[1]);
        } else if (f.size() == 5) {
            std::pair<int, int> at{std::stoi(f[0]), std::stoi(f[1])};
            sheet.cells[at] = f[2] + ":" + unescapePython(f[3]);
            sheet.wrap[at] = f[4] == "1";
        }
    }
    return sheet;
}

// LibreOffice headless converts `path` into `outDir` with the given filter;
// returns the converted file's path.
inline std::string convertWithLibreOffice(const std::string& path, const std::string& outDir,
                                          const std::string& filter, const std::string& extension) {
    std::string profile = "-env:UserInstallation=file://" + outDir + "/lo-profile";
    auto [status, out] = run({"/usr/bin/soffice", profile, "--headless", "--convert-to", filter,
                              "--outdir", outDir, path});
    std::string stem = fs::path(path).stem().string();
    std::string converted = (fs::path(outDir) / (stem + "." + extension)).string();
    if (status != 0 || !fs::exists(converted)) {
        throw std::runtime_error("LibreOffice could not convert " + path + ": " + out);
    }
    return converted;
}

// RFC 4180 CSV as LibreOffice writes it (quoted fields may hold line breaks).
inline std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(std::move(field));
            field.clear();
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            rows.back().push_back(std::move(field));
            field.clear();
            rows.emplace_back();
        } else {
            field += c;
        }
    }
    if (!field.empty() || !rows.back().empty()) {
        rows.back().push_back(std::move(field));
    } else {
        rows.pop_back();
    }
    return rows;
}

}  // namespace xlsxtest
