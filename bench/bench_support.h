// What the export benchmarks share: the dishes they store (realistic names,
// a third of the dishes with three units and prices, always the same for a
// row count) and the timing of a command as a whole process.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "db/SqliteBackend.h"

namespace pos::bench {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Outcome {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system: fairer than wall time on a busy machine
    long peakKiB = 0;
    long checksum = 0;  // what a measured phase counted
    int exitCode = -1;
};

inline double cpuOf(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs a command through the shell, timing it and taking the peak resident
// memory of the largest process it ran.
inline Outcome runTimed(const std::string& command) {
    Outcome o;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.peakKiB = usage.ru_maxrss;
    o.cpuSeconds = cpuOf(usage);
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

inline std::string price(std::mt19937& rng, int low, int high) {
    std::uniform_int_distribution<int> cents(low * 100, high * 100);
    const int c = cents(rng) / 50 * 50;  // prices end in .00 or .50
    return std::to_string(c / 100) + "." + (c % 100 == 0 ? "00" : "50");
}

// Categories, statistics categories and the dishes, as one script.
inline std::string dishesScript(int rows) {
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

// A row count written plainly as digits, at most a sheet's rows; 0 for
// anything else.
inline int rowCount(const std::string& arg) {
    char* end = nullptr;
    const long n = std::strtol(arg.c_str(), &end, 10);
    return !arg.empty() && std::isdigit(static_cast<unsigned char>(arg[0])) && *end == '\0' &&
                   n > 0 && n <= 1048576
               ? static_cast<int>(n)
               : 0;
}

// What an export benchmark is asked: ROWS, --cli PATH and --keep, each
// optional; anything else ends the program with its usage.
struct ExportBenchArgs {
    int rows;
    std::string cli;
    bool keep = false;
};

inline ExportBenchArgs parseExportBenchArgs(int argc, char** argv, int rows, std::string cli) {
    ExportBenchArgs args{rows, std::move(cli)};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--keep") {
            args.keep = true;
        } else if (arg == "--cli" && i + 1 < argc) {
            args.cli = argv[++i];
        } else if (const int n = rowCount(arg); n > 0) {
            args.rows = n;
        } else {
            std::fprintf(stderr, "usage: %s [ROWS] [--cli PATH] [--keep]\n", argv[0]);
            std::exit(2);
        }
    }
    return args;
}

// A fresh temporary folder (`dir`, with its trailing '/') whose store
// (`store`) holds the database "bench" (`dbFile`) with `rows` dishes.
struct DishStore {
    std::string dir;
    std::string store;
    std::string dbFile;
};

inline DishStore makeDishStore(const char* name, int rows) {
    std::string templ =
        (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    DishStore made;
    made.dir = std::string(::mkdtemp(templ.data())) + "/";
    made.store = made.dir + "store";
    db::createStoreDatabase(
        made.store, "bench",
        {readFile(std::string(POS_SQL_DIR) + "/schema_sqlite.sql"), dishesScript(rows)});
    made.dbFile = made.store + "/bench.db";
    return made;
}

}  // namespace pos::bench
