// Reads and writes a sheet of dishes (17 columns: codes and prices as
// numbers, names, categories and units as texts) as .ods through the
// session, as the import and the export do, against LibreOffice's headless
// conversion of the same sheet (it reads the .ods and writes it anew).
//   bench_ods [ROWS]                  both, with the ratio (default 65534 rows)
//   bench_ods --make FILE [ROWS]      writes the sheet of dishes to FILE
//   bench_ods --roundtrip IN OUT      reads IN whole and writes its cells to OUT
// The last two time well as whole processes against
//   soffice --headless --convert-to ods --outdir DIR IN
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Value.h"
#include "workbook/SpreadsheetSession.h"

namespace {

using pos::Value;
using pos::workbook::SpreadsheetSession;
constexpr int kColumns = 17;

const char* const kNames[] = {"宫保鸡丁", "鱼香肉丝", "拍黄瓜", "例汤", "Fish & Chips"};
const char* const kUnits[] = {"份", "例", "碗", "", ""};

// The cell of a dish as the export writes it: numbers for the code and the
// prices, texts for the rest.
Value dishCell(int dish, int column) {
    switch (column) {
        case 0:
            return Value::integer(100000 + dish);
        case 1:
            return Value::text(std::string(kNames[dish % 5]) + std::to_string(dish));
        case 2:
            return Value::text("GBJD");
        case 3:
            return Value::text(dish % 2 == 0 ? "热菜" : "凉菜");
        case 4:
            return Value::text("菜品");
        case 5:
        case 9:
        case 13:
            return Value::text(kUnits[(dish + column) % 5]);
        default:
            return Value::decimal(std::to_string(dish % 97 + column) + ".50");
    }
}

void makeSheet(const std::string& path, int rows) {
    SpreadsheetSession s;
    s.startExcel();
    s.addWorkbook();
    s.nameFirstSheet("Menu");
    s.sheetByName("Menu");
    s.wrapAllCells();
    for (int c = 1; c <= kColumns; ++c)
        s.writeCell(2, c, "标题" + std::to_string(c));
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < kColumns; ++c)
            s.writeValue(r + 3, c + 1, dishCell(r, c));
    }
    s.saveSheetAs(path);
    s.quitExcel();
}

// Reads every cell of `in` and writes it, as the export would, to `out`;
// the cells read.
long roundTrip(const std::string& in, const std::string& out) {
    SpreadsheetSession reader;
    reader.startExcel();
    reader.openWorkbook(in);
    reader.sheetByName("Menu");
    const int rows = reader.usedRowCount("Menu") + 1;
    const int columns = reader.usedColumnCount("Menu");
    SpreadsheetSession writer;
    writer.startExcel();
    writer.addWorkbook();
    writer.nameFirstSheet("Menu");
    writer.sheetByName("Menu");
    writer.wrapAllCells();
    long count = 0;
    for (int r = 2; r <= rows; ++r) {
        for (int c = 1; c <= columns; ++c) {
            const Value v = reader.readCell(r, c);
            if (!v.isNull()) {
                writer.writeValue(r, c, v);
                ++count;
            }
        }
    }
    writer.saveSheetAs(out);
    return count;
}

struct Measure {
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKb = 0;
};

// Runs `argv` as a child process; its wall and CPU time and peak memory.
Measure runChild(const std::vector<std::string>& argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            ::_exit(127);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Measure m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.peakKb = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0].c_str());
        std::exit(1);
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--make" && args.size() >= 2) {
        makeSheet(args[1], args.size() > 2 ? std::atoi(args[2].c_str()) : 65534);
        return 0;
    }
    if (!args.empty() && args[0] == "--roundtrip" && args.size() == 3) {
        std::printf("%ld cells\n", roundTrip(args[1], args[2]));
        return 0;
    }
    const int rows = args.empty() ? 65534 : std::atoi(args[0].c_str());
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("bench-ods-" + std::to_string(::getpid()));
    fs::create_directories(dir / "lo");
    const std::string sheet = (dir / "dishes.ods").string();
    const std::string self = fs::canonical("/proc/self/exe").string();
    makeSheet(sheet, rows);

    const std::string profile = "-env:UserInstallation=file://" + (dir / "profile").string();
    const std::vector<std::string> libreOffice = {"/usr/bin/soffice",    profile, "--headless",
                                                  "--convert-to",        "ods",   "--outdir",
                                                  (dir / "lo").string(), sheet};
    runChild(libreOffice);  // the first start sets up its profile
    const Measure ours = runChild({self, "--roundtrip", sheet, (dir / "ours.ods").string()});
    const Measure theirs = runChild(libreOffice);
    std::printf(
        "read and write %d x %d dishes as .ods | ours: %6.2f s wall, %6.2f s cpu, peak %4ld MB"
        " | LibreOffice headless: %6.2f s wall, %6.2f s cpu, peak %4ld MB"
        " | %4.1fx faster (wall), %4.1fx (cpu)\n",
        rows, kColumns, ours.seconds, ours.cpuSeconds, ours.peakKb / 1024, theirs.seconds,
        theirs.cpuSeconds, theirs.peakKb / 1024, theirs.seconds / ours.seconds,
        theirs.cpuSeconds / ours.cpuSeconds);
    fs::remove_all(dir);
    return 0;
}
