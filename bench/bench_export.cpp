// Export of "Menu" with 65,534 dishes (the most an .xls sheet holds below its
// two top rows; realistic names, a third of the dishes with three units and
// prices) to .xls through the command line, end to end, with its peak memory;
// beside it, as the floor, sqlite3's own CSV dump of the same view, and, as
// the usual script, Python's sqlite3 + xlwt writing the same workbook.
//
//   bench_export [ROWS] [--cli PATH]   (defaults: 65534, pos-transfer-cli beside this program)
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

#include "common/AppFolders.h"
#include "common/Text.h"
#include "db/SqliteBackend.h"
#include "transfer/ExThread.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace pos;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Outcome {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system: fairer than wall time on a busy machine
    long peakKiB = 0;
    int exitCode = -1;
};

// Runs a command through the shell, timing it and taking the peak resident
// memory of the largest process it ran.
Outcome runTimed(const std::string& command) {
    Outcome o;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    o.peakKiB = usage.ru_maxrss;
    o.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

std::string price(std::mt19937& rng, int low, int high) {
    std::uniform_int_distribution<int> cents(low * 100, high * 100);
    const int c = cents(rng) / 50 * 50;  // prices end in .00 or .50
    return std::to_string(c / 100) + "." + (c % 100 == 0 ? "00" : "50");
}

// Categories, statistics categories and the dishes, as one script.
std::string dishesScript(int rows) {
    const std::vector<std::string> cooking{"红烧", "清蒸", "干煸", "宫保", "鱼香", "糖醋", "麻辣",
                                           "蒜蓉", "香煎", "酱爆", "椒盐", "水煮", "白灼", "葱爆",
                                           "黄焖", "铁板", "酸菜", "剁椒", "豉汁", "孜然"};
    const std::vector<std::string> ingredient{
        "鸡丁", "牛肉", "排骨",   "鲈鱼",   "豆腐", "茄子", "虾仁", "羊肉", "鸭胗", "猪蹄",
        "鱿鱼", "花蛤", "土豆丝", "西兰花", "肥肠", "鸡翅", "牛蛙", "带鱼", "莲藕", "腰花"};
    const std::vector<std::string> style{"", "（小份）", "（大份）", "（招牌）", "（家常）"};
    std::mt19937 rng(20240301);
    std::ostringstream sql;
    sql << "INSERT INTO Category (ID, Name) VALUES (1,'凉菜'),(2,'热菜'),(3,'汤羹'),(4,'主食'),"
           "(5,'海鲜'),(6,'酒水');\n"
           "INSERT INTO STCA (SCID, SCSN, SCNA) VALUES "
           "(1,1,'菜品'),(2,2,'海鲜'),(3,3,'酒水饮料');\n";
    for (int i = 0; i < rows; ++i) {
        if (i % 500 == 0) {
            sql << (i == 0 ? "" : ";\n")
                << "INSERT INTO menu (ID, Name, FirstLetter, CategoryID, SCSN, Unit1, Price1, "
                   "Cost1, VPrice1, Unit2, Price2, Cost2, VPrice2, Unit3, Price3, Cost3, VPrice3) "
                   "VALUES\n";
        } else {
            sql << ",\n";
        }
        const std::string name = cooking[rng() % cooking.size()] +
                                 ingredient[rng() % ingredient.size()] +
                                 style[rng() % style.size()];
        std::string letters;
        for (int k = 0; k < 4; ++k) {
            letters += static_cast<char>('A' + rng() % 26);
        }
        sql << "(" << 100000 + i << ",'" << name << "','" << letters << "'," << 1 + i % 6 << ","
            << 1 + i % 3 << ",'份'," << price(rng, 8, 98) << "," << price(rng, 3, 40) << ","
            << price(rng, 7, 90);
        if (i % 3 == 0) {
            sql << ",'小份'," << price(rng, 6, 60) << "," << price(rng, 2, 25) << ","
                << price(rng, 5, 55) << ",'大份'," << price(rng, 20, 160) << ","
                << price(rng, 8, 60) << "," << price(rng, 18, 150) << ")";
        } else {
            sql << ",NULL,0,0,0,NULL,0,0,0)";
        }
    }
    sql << ";\n";
    return sql.str();
}

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
    int rows = transfer::kXlsMaxRecords;
    std::string cli = executableDir() + "pos-transfer-cli";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--cli" && i + 1 < argc) {
            cli = argv[++i];
        } else {
            rows = std::atoi(argv[i]);
        }
    }
    std::string templ = (fs::temp_directory_path() / "bench-export-XXXXXX").string();
    const std::string dir = std::string(::mkdtemp(templ.data())) + "/";
    const std::string store = dir + "store";

    std::cout << "Generating " << rows << " dishes...\n";
    db::createStoreDatabase(
        store, "bench",
        {readFile(std::string(POS_SQL_DIR) + "/schema_sqlite.sql"), dishesScript(rows)});
    const std::string dbFile = store + "/bench.db";

    // 1. The command line, end to end: connect, check, views, query, workbook.
    const Outcome ours = runTimed("'" + cli + "' --store '" + store + "' --field-maps '" + dir +
                                  "maps' export --database bench --dataset Menu --output '" + dir +
                                  "menu.xls' >/dev/null");

    // The views for the other two, made once beforehand (not timed).
    std::string views;
    for (const std::string& s : transfer::createViewStatements("Menu")) {
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
    std::printf("\nours / sqlite3 csv: %.2fx wall, %.2fx cpu (goal: within 3x)\n",
                ours.seconds / csv.seconds, ours.cpuSeconds / csv.cpuSeconds);
    std::printf("python / ours:      %.2fx wall, %.2fx cpu (goal: at least 10x)\n",
                python.seconds / ours.seconds, python.cpuSeconds / ours.cpuSeconds);
    std::printf("our peak memory:    %.1f MiB (goal: under 150 MiB)\n", ours.peakKiB / 1024.0);

    std::error_code ec;
    fs::remove_all(dir, ec);
    return ours.exitCode == 0 ? 0 : 1;
}
