// Export of "Menu" with 65,534 dishes (the most an .xls sheet holds below its
// two top rows; realistic names, a third of the dishes with three units and
// prices) to .xls through the command line, end to end, with its peak memory;
// beside it, as the floor, sqlite3's own CSV dump of the same view, and, as
// the usual script, Python's sqlite3 + xlwt writing the same workbook.
//
//   bench_export [ROWS] [--cli PATH] [--keep]
//   (defaults: 65534, pos-transfer-cli beside this program; --keep leaves
//   the store, with its views, and the files written in place for a profiler)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/AppFolders.h"
#include "common/Text.h"
#include "db/SqliteBackend.h"
#include "transfer/ExThread.h"

namespace fs = std::filesystem;
using namespace pos;
using bench::Outcome;
using bench::readFile;
using bench::runTimed;

namespace {

const char* const kPythonExport = R"PY(
import sys, sqlite3, xlwt
con = sqlite3.connect(sys.argv[1])
cur = con.execute('select * from "VSMenu"')
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("Menu")
wrap = xlwt.easyxf("align: wrap on")
for i, h in enumerate(sys.argv[3].split(",")):
    sheet.write(1, i, h, wrap)
r = 2
for row in cur:
    for j, v in enumerate(row):
        sheet.write(r, j, "" if v is None else (("%.15g" % v) if isinstance(v, float) else str(v)), wrap)
    r += 1
book.save(sys.argv[2])
)PY";

}  // namespace

int main(int argc, char** argv) {
    const bench::ExportBenchArgs args = bench::parseExportBenchArgs(
        argc, argv, transfer::kXlsMaxRecords, executableDir() + "pos-transfer-cli");
    const int rows = args.rows;
    const std::string& cli = args.cli;
    std::cout << "Generating " << rows << " dishes...\n";
    const bench::DishStore made = bench::makeDishStore("bench-export", rows);
    const std::string& dir = made.dir;
    const std::string& store = made.store;
    const std::string& dbFile = made.dbFile;

    // 1. The command line, end to end: connect, check, views, query, workbook.
    const Outcome ours = runTimed("'" + cli + "' --store '" + store + "' --field-maps '" + dir +
                                  "maps' export --database bench --dataset Menu --output '" + dir +
                                  "menu.xls' >/dev/null");

    // The views for the other two, made once beforehand (not timed).
    std::string views;
    for (const std::string& s : transfer::createViewStatements(datasets::kMenuDataset)) {
        views += s + ";";
    }
    runTimed("sqlite3 '" + dbFile + "' '" + views + "'");

    // 2. The floor: sqlite3 writing the same view as CSV.
    const Outcome csv =
        runTimed("sqlite3 -csv '" + dbFile + "' 'select * from VSMenu' > '" + dir + "menu.csv'");

    // 3. The usual script: Python's sqlite3 and xlwt.
    std::ofstream(dir + "export.py") << kPythonExport;
    const Outcome python = runTimed(
        "/usr/bin/python3 '" + dir + "export.py' '" + dbFile + "' '" + dir +
        "menu_py.xls' "
        "'菜品编码,菜品名称,首字母,菜品类别,统计类别,单位1,价格1,成本1,会员价1,单位2,价格2,"
        "成本2,会员价2,单位3,价格3,成本3,会员价3'");

    std::printf("\n%-32s %10s %10s %14s %12s %6s\n", "export of Menu", "seconds", "cpu s",
                "rows/second", "peak MiB", "exit");
    auto line = [&](const char* what, const Outcome& o) {
        std::printf("%-32s %10.3f %10.3f %14.0f %12.1f %6d\n", what, o.seconds, o.cpuSeconds,
                    rows / o.seconds, o.peakKiB / 1024.0, o.exitCode);
    };
    line("pos-transfer-cli export (.xls)", ours);
    line("sqlite3 -csv (floor)", csv);
    line("python3 sqlite3 + xlwt (.xls)", python);
    std::printf("\nours / sqlite3 csv: %.2fx wall, %.2fx cpu (goal: within 1.5x of its cpu)\n",
                ours.seconds / csv.seconds, ours.cpuSeconds / csv.cpuSeconds);
    std::printf("python / ours:      %.2fx wall, %.2fx cpu (goal: at least 10x)\n",
                python.seconds / ours.seconds, python.cpuSeconds / ours.cpuSeconds);
    std::printf("our peak memory:    %.1f MiB (goal: under 150 MiB)\n", ours.peakKiB / 1024.0);

    if (args.keep) {
        std::printf("files kept in %s\n", dir.c_str());
    } else {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    return ours.exitCode == 0 ? 0 : 1;
}
