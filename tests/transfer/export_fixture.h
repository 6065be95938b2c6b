// What the export tests share: the scripts a store database is built from
// and the read-back of a written workbook by an independent reader
// (/usr/bin/python3 with xlrd).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/RecordingView.h"
#include "support/StoreFixture.h"
#include "support/TempDir.h"
#include "support/TransferOptions.h"
#include "transfer/ExThread.h"

namespace pos::exporttest {

namespace fs = std::filesystem;

using testing::readFile;
using testing::RecordingView;
using testing::StoreFixture;
using testing::TempDir;
using testing::writeFile;
using transfer::ExportResult;
using transfer::MyExThread;
using transfer::TransferOptions;
inline std::string readText(const fs::path& p) {
    return readFile(p);
}
inline void writeText(const fs::path& p, const std::string& text) {
    writeFile(p, text);
}

inline std::string schemaScript() {
    return readText(fs::path(POS_SOURCE_DIR) / "sql" / "schema_sqlite.sql");
}
inline std::string demoScript() {
    return readText(fs::path(POS_SOURCE_DIR) / "sql" / "demo_data.sql");
}

using Rows = std::vector<std::vector<std::string>>;

inline std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t tab = line.find('\t', start);
        parts.push_back(
            line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) {
            return parts;
        }
        start = tab + 1;
    }
}

// Runs a Python script with the given arguments; returns its output streams.
inline std::string runPython(const std::string& script, const std::vector<std::string>& args) {
    testing::RunOptions options;
    options.errorsToOut = true;
    const testing::ProgramRun run = testing::runPython(script, args, options);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    return run.out;
}

// Rows as printed by the scripts below: "R" and one hex field per cell.
inline Rows parseRows(const std::string& output, std::vector<std::string>* other = nullptr) {
    Rows rows;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> parts = splitTabs(line);
        if (parts[0] == "R") {
            std::vector<std::string> row;
            for (std::size_t i = 1; i < parts.size(); ++i) {
                row.push_back(unhex(parts[i]));
            }
            while (!row.empty() && row.back().empty()) {
                row.pop_back();
            }
            rows.push_back(row);
        } else if (other != nullptr) {
            other->push_back(line);
        }
    }
    return rows;
}

// The first sheet of a written workbook, read by xlrd (.xls) or by openpyxl
// (.xlsx, by the path's extension): its name, every row (trailing empty
// cells dropped; a number cell with up to 15 significant digits), which cells
// are number cells, and the problems found: a cell that is neither text nor
// number, a text cell whose format does not wrap.
struct SheetReadBack {
    std::vector<std::string> sheetNames;
    Rows rows;
    // Row r, column c (from 0) is a number cell when kinds[r][c] is 'n', a
    // text cell when 's', empty when ' ' (or beyond the row's end).
    std::vector<std::string> kinds;
    std::vector<std::string> problems;
};

inline SheetReadBack readFirstSheet(const std::string& path) {
    static const char* const kScript = R"PY(
import sys, xlrd
book = xlrd.open_workbook(sys.argv[1], formatting_info=True)
for name in book.sheet_names():
    print("S\t" + name.encode("utf-8").hex())
sheet = book.sheet_by_index(0)
numbers = []
for r in range(sheet.nrows):
    cells = []
    for c in range(sheet.ncols):
        cell = sheet.cell(r, c)
        if cell.ctype == xlrd.XL_CELL_TEXT:
            cells.append(cell.value)
            if not book.xf_list[cell.xf_index].alignment.text_wrapped:
                print("P\tcell %d,%d does not wrap" % (r + 1, c + 1))
        elif cell.ctype in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
            cells.append("")
        elif cell.ctype == xlrd.XL_CELL_NUMBER:
            cells.append("%.15g" % cell.value)
            numbers.append("%d,%d" % (r + 1, c + 1))
        else:
            print("P\tcell %d,%d is not text (type %d)" % (r + 1, c + 1, cell.ctype))
            cells.append(str(cell.value))
    print("\t".join(["R"] + [x.encode("utf-8").hex() for x in cells]))
print("\t".join(["N"] + numbers))
)PY";
    // The same read-back for .xlsx, by openpyxl.
    static const char* const kXlsxScript = R"PY(
import sys, openpyxl
book = openpyxl.load_workbook(sys.argv[1])
for name in book.sheetnames:
    print("S\t" + name.encode("utf-8").hex())
sheet = book.worksheets[0]
numbers = []
for row in sheet.iter_rows(min_row=1, min_col=1):
    cells = []
    for cell in row:
        r, c = cell.row, cell.column
        if cell.value is None:
            cells.append("")
        elif cell.data_type == "s":
            cells.append(cell.value)
            if not cell.alignment.wrap_text:
                print("P\tcell %d,%d does not wrap" % (r, c))
        elif cell.data_type == "n":
            cells.append("%.15g" % cell.value)
            numbers.append("%d,%d" % (r, c))
        else:
            print("P\tcell %d,%d is not text (type %s)" % (r, c, cell.data_type))
            cells.append(str(cell.value))
    print("\t".join(["R"] + [x.encode("utf-8").hex() for x in cells]))
print("\t".join(["N"] + numbers))
)PY";
    std::string extension = path.substr(path.size() < 5 ? 0 : path.size() - 5);
    for (char& ch : extension) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    const bool xlsx = extension == ".xlsx";
    SheetReadBack result;
    std::vector<std::string> other;
    std::vector<std::string> numbers;
    result.rows = parseRows(runPython(xlsx ? kXlsxScript : kScript, {path}), &other);
    for (const std::string& line : other) {
        std::vector<std::string> parts = splitTabs(line);
        if (parts[0] == "S" && parts.size() == 2) {
            result.sheetNames.push_back(unhex(parts[1]));
        } else if (parts[0] == "N") {
            numbers.assign(parts.begin() + 1, parts.end());
        } else {
            result.problems.push_back(line);
        }
    }
    for (const auto& row : result.rows) {
        std::string kinds;
        for (const std::string& cell : row) {
            kinds += cell.empty() ? ' ' : 's';
        }
        result.kinds.push_back(kinds);
    }
    for (const std::string& at : numbers) {
        const std::size_t comma = at.find(',');
        const std::size_t row = std::stoul(at.substr(0, comma)) - 1;
        const std::size_t column = std::stoul(at.substr(comma + 1)) - 1;
        if (row < result.kinds.size() && column < result.kinds[row].size()) {
            result.kinds[row][column] = 'n';
        }
    }
    return result;
}

// Rows of a query run by Python's own sqlite3 on the database file, each value
// in the export's text form: empty for NULL, integers plainly, floating point
// with up to 15 significant digits, text as stored.
inline Rows queryWithPython(const std::string& dbFile, const std::string& sql) {
    static const char* const kScript = R"PY(
import sys, sqlite3
con = sqlite3.connect(sys.argv[1])
def text(v):
    if v is None:
        return ""
    if isinstance(v, float):
        return "%.15g" % v
    return str(v)
for row in con.execute(sys.argv[2]):
    print("\t".join(["R"] + [text(v).encode("utf-8").hex() for v in row]))
)PY";
    Rows rows = parseRows(runPython(kScript, {dbFile, sql}));
    return rows;
}

inline const char* const kSuccess = "数据导出成功！";

// One export on its own thread, as the window starts it, waited for; how it
// ended, whose message is the last the view was shown.
inline ExportResult exportWith(StoreFixture& store, const std::string& key, const std::string& path,
                               const std::string& fieldMapDir, RecordingView& view) {
    const TransferOptions options =
        pos::testing::transferOptions(key, store.database(), path, fieldMapDir);
    MyExThread worker(store.queries(), options, view);
    worker.start();
    worker.join();
    EXPECT_TRUE(worker.finished());
    const std::vector<std::string> messages = view.messages();
    EXPECT_EQ(worker.result().message, messages.empty() ? std::string() : messages.back());
    return worker.result();
}

inline Rows sortedData(const Rows& rows, std::size_t from) {
    Rows data(rows.begin() + static_cast<std::ptrdiff_t>(std::min(from, rows.size())), rows.end());
    std::sort(data.begin(), data.end());
    return data;
}

}  // namespace pos::exporttest
