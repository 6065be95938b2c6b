// Writes and reads a sheet of 65,535 rows x 17 text columns of dish data
// with the workbook engine, and the same cells with python3-xlwt and xlrd,
// and prints the times, our peak memory and the ratios. Each of our phases
// runs in a child process so that its peak resident size is its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "workbook/SheetData.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookFile.h"

namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

Rows dishRows() {
    const char* names[] = {"宫保鸡丁", "麻婆豆腐", "鱼香肉丝", "回锅肉",     "水煮鱼",
                           "糖醋排骨", "清蒸鲈鱼", "东坡肉",   "Fried rice", "Hot and sour soup"};
    const char* categories[] = {"热菜", "凉菜", "汤类", "主食", "酒水", "Dessert"};
    const char* units[] = {"份", "例", "碗", "瓶", "斤"};
    std::mt19937 random(42);
    Rows rows;
    rows.push_back({"编号", "名称", "拼音码", "类别", "统计类别", "单位", "单价", "会员价", "成本",
                    "规格", "做法", "口味", "是否称重", "是否打折", "出品部门", "备注", "条码"});
    for (int i = 1; i < 65535; ++i) {
        const auto pick = [&](int n) {
            return static_cast<int>(random() % static_cast<unsigned>(n));
        };
        const int price = 800 + pick(20000);
        char money[3][32];
        std::snprintf(money[0], sizeof money[0], "%d.%02d", price / 100, price % 100);
        std::snprintf(money[1], sizeof money[1], "%d.%02d", price * 9 / 1000, price * 9 / 10 % 100);
        std::snprintf(money[2], sizeof money[2], "%d.%02d", price / 300, price / 3 % 100);
        rows.push_back(
            {std::to_string(100000 + i), std::string(names[pick(10)]) + std::to_string(i),
             "GBJD" + std::to_string(i), categories[pick(6)], categories[pick(6)], units[pick(5)],
             money[0], money[1], money[2], pick(2) ? "大份" : "小份", pick(2) ? "炒" : "蒸",
             pick(3) ? "微辣" : "不辣", pick(5) ? "False" : "True", pick(2) ? "True" : "False",
             pick(2) ? "热菜厨房" : "冷菜间", pick(4) ? "" : "招牌菜，推荐",
             "69" + std::to_string(10000000 + i * 7)});
    }
    return rows;
}

struct Measure {
    double seconds = 0;
    long peakKb = 0;
};

// Runs `work` in a child process; returns its own time and peak memory.
template <typename Work>
Measure inChild(Work&& work) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        const double seconds = work();
        [[maybe_unused]] auto n = ::write(pipeFds[1], &seconds, sizeof seconds);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    Measure m;
    [[maybe_unused]] auto n = ::read(pipeFds[0], &m.seconds, sizeof m.seconds);
    ::close(pipeFds[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    m.peakKb = usage.ru_maxrss;
    return m;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main() {
    const fs::path dir =
        fs::temp_directory_path() / ("pos-bench-xls-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string ours = (dir / "ours.xls").string();
    const Rows rows = dishRows();

    const Measure baseline = inChild([] { return 0.0; });
    const Measure write = inChild([&] {
        const double start = now();
        pos::workbook::SpreadsheetSession s;
        s.startExcel();
        s.addWorkbook();
        s.nameFirstSheet("Menu");
        s.sheetByName("Menu");
        s.wrapAllCells();
        for (std::size_t r = 0; r < rows.size(); ++r) {
            for (std::size_t c = 0; c < rows[r].size(); ++c) {
                s.writeCell(static_cast<int>(r) + 1, static_cast<int>(c) + 1, rows[r][c]);
            }
        }
        s.saveSheetAs(ours);
        return now() - start;
    });
    const Measure read = inChild([&] {
        const double start = now();
        const auto book = pos::workbook::readWorkbookFile(ours);
        std::size_t cells = 0;
        for (int r = 0; r <= book.firstSheet.lastRow(); ++r) {
            for (int c = 0; c <= book.firstSheet.lastColumn(); ++c) {
                cells += book.firstSheet.cell(r, c).has_value();
            }
        }
        const double seconds = now() - start;
        return cells > 0 ? seconds : -1.0;
    });
    const auto fileSize = fs::file_size(ours);

    {
        std::ofstream tsv(dir / "cells.tsv");
        for (const auto& row : rows) {
            for (std::size_t c = 0; c < row.size(); ++c)
                tsv << (c ? "\t" : "") << row[c];
            tsv << '\n';
        }
    }
    const std::string script = (fs::path(__FILE__).parent_path() / "bench_xls_python.py").string();
    const std::string command = "/usr/bin/python3 '" + script + "' '" +
                                (dir / "cells.tsv").string() + "' '" + (dir / "xlwt.xls").string() +
                                "'";
    double xlwtSeconds = 0, xlrdSeconds = 0;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char line[128];
        while (std::fgets(line, sizeof line, pipe)) {
            std::sscanf(line, "xlwt %lf", &xlwtSeconds);
            std::sscanf(line, "xlrd %lf", &xlrdSeconds);
        }
        ::pclose(pipe);
    }

    // The rows in memory belong to the parent; each child starts with them.
    std::printf("sheet: %zu rows x 17 text columns, file %.1f MB\n", rows.size(),
                static_cast<double>(fileSize) / 1e6);
    std::printf("engine write: %8.3f s   peak RSS %6.1f MB (%.1f MB above the idle child)\n",
                write.seconds, write.peakKb / 1024.0, (write.peakKb - baseline.peakKb) / 1024.0);
    std::printf("engine read:  %8.3f s   peak RSS %6.1f MB (%.1f MB above the idle child)\n",
                read.seconds, read.peakKb / 1024.0, (read.peakKb - baseline.peakKb) / 1024.0);
    std::printf("xlwt write:   %8.3f s   ratio %.1fx\n", xlwtSeconds, xlwtSeconds / write.seconds);
    std::printf("xlrd read:    %8.3f s   ratio %.1fx\n", xlrdSeconds, xlrdSeconds / read.seconds);
    fs::remove_all(dir);
    return xlwtSeconds > 0 && xlrdSeconds > 0 && read.seconds > 0 ? 0 : 1;
}
