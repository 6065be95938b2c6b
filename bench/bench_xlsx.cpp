// Writes and reads sheets of 17 text columns as .xlsx through the session, as
// the export and the import do, and has openpyxl (write-only and read-only
// modes) do the same in the same run. Each phase runs in a child process so
// that its peak memory is its own.
//   bench_xlsx [--no-python] [rows...]   (default: 65534 300000; --no-python
//   measures the session alone, for sizes where openpyxl takes many minutes)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "workbook/SpreadsheetSession.h"

namespace {

using pos::workbook::SpreadsheetSession;
constexpr int kColumns = 17;

// The same texts as the Python side builds: dish-like words and numbers.
const char* const kWords[] = {"宫保鸡丁", "Fish & Chips", "例汤",   "12.50",
                              "份",       "热菜",         "Hall A", "备注：少辣"};

std::string cellText(int row, int column) {
    return std::string(kWords[column % 8]) + std::to_string(row * 17 + column);
}

struct Measure {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system: the fair figure on a shared, loaded machine
    long peakKb = 0;
    long checksum = 0;
};

// Runs `work` in a child process and returns its time and peak memory.
template <class Work>
Measure inChild(Work work) {
    int fds[2];
    if (::pipe(fds) != 0)
        std::abort();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        auto start = std::chrono::steady_clock::now();
        long checksum = work();
        Measure m;
        m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        m.peakKb = usage.ru_maxrss;
        m.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        m.checksum = checksum;
        if (::write(fds[1], &m, sizeof m) != sizeof m)
            ::_exit(2);
        ::_exit(0);
    }
    ::close(fds[1]);
    Measure m;
    if (::read(fds[0], &m, sizeof m) != sizeof m) {
        std::fprintf(stderr, "the measured phase failed\n");
        std::exit(1);
    }
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return m;
}

const char* kPython = R"PY(
import sys, time, resource, openpyxl
mode, path, rows = sys.argv[1], sys.argv[2], int(sys.argv[3])
words = ["宫保鸡丁", "Fish & Chips", "例汤", "12.50", "份", "热菜", "Hall A", "备注：少辣"]
start = time.perf_counter()
count = 0
if mode == "write":
    wb = openpyxl.Workbook(write_only=True)
    ws = wb.create_sheet("Menu")
    ws.append([])
    ws.append(["Heading %d" % c for c in range(1, 18)])
    for r in range(2, rows + 2):
        ws.append([words[c % 8] + str(r * 17 + c) for c in range(17)])
        count += 17
    wb.save(path)
else:
    wb = openpyxl.load_workbook(path, read_only=True)
    ws = wb.worksheets[0]
    for row in ws.iter_rows(values_only=True):
        for v in row:
            if v is not None:
                count += 1
    wb.close()
elapsed = time.perf_counter() - start
u = resource.getrusage(resource.RUSAGE_SELF)
print("%f %f %d %d" % (elapsed, u.ru_utime + u.ru_stime, u.ru_maxrss, count))
)PY";

Measure runPython(const std::string& mode, const std::string& path, int rows) {
    std::string command = "/usr/bin/python3 -c '" + std::string(kPython) + "' " + mode + " '" +
                          path + "' " + std::to_string(rows);
    FILE* pipe = ::popen(command.c_str(), "r");
    Measure m;
    if (!pipe || std::fscanf(pipe, "%lf %lf %ld %ld", &m.seconds, &m.cpuSeconds, &m.peakKb,
                             &m.checksum) != 4) {
        std::fprintf(stderr, "openpyxl (%s) failed\n", mode.c_str());
        std::exit(1);
    }
    ::pclose(pipe);
    return m;
}

void report(const char* what, int rows, const Measure& ours, const Measure& theirs) {
    std::printf(
        "%-5s %7d rows | ours: %6.2f s wall, %6.2f s cpu, %8.0f rows/s (cpu), peak %5ld MB"
        " | openpyxl: %7.2f s wall, %7.2f s cpu, %7.0f rows/s (cpu), peak %4ld MB"
        " | %4.1fx faster (cpu), %4.1fx (wall)\n",
        what, rows, ours.seconds, ours.cpuSeconds, rows / ours.cpuSeconds, ours.peakKb / 1024,
        theirs.seconds, theirs.cpuSeconds, rows / theirs.cpuSeconds, theirs.peakKb / 1024,
        theirs.cpuSeconds / ours.cpuSeconds, theirs.seconds / ours.seconds);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    bool python = true;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--no-python")
            python = false;
        else
            sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty())
        sizes = {65534, 300000};
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("bench-xlsx-" + std::to_string(::getpid()));
    fs::create_directories(dir);

    for (int rows : sizes) {
        const std::string ours = (dir / ("ours-" + std::to_string(rows) + ".xlsx")).string();
        const std::string theirs = (dir / ("openpyxl-" + std::to_string(rows) + ".xlsx")).string();

        Measure write = inChild([&] {
            SpreadsheetSession s;
            s.startExcel();
            s.addWorkbook();
            s.nameFirstSheet("Menu");
            s.sheetByName("Menu");
            s.wrapAllCells();
            for (int c = 1; c <= kColumns; ++c)
                s.writeCell(2, c, "Heading " + std::to_string(c));
            for (int r = 2; r < rows + 2; ++r) {
                for (int c = 0; c < kColumns; ++c)
                    s.writeCell(r + 1, c + 1, cellText(r, c));
            }
            s.saveSheetAs(ours);
            s.quitExcel();
            s.releaseExcel();
            return static_cast<long>(rows) * kColumns;
        });
        Measure read = inChild([&] {
            SpreadsheetSession s;
            s.startExcel();
            s.openWorkbook(ours);
            s.nameFirstSheet("Menu");
            s.sheetByName("Menu");
            const int used = s.usedRowCount("Menu");
            const int columns = s.usedColumnCount("Menu");
            long count = 0;
            for (int r = 3; r <= used + 1; ++r) {
                for (int c = 1; c <= columns; ++c)
                    count += !s.readCell(r, c).isNull();
            }
            return count;
        });
        if (read.checksum != static_cast<long>(rows) * kColumns) {
            std::fprintf(stderr, "read %ld cells, expected %ld\n", read.checksum,
                         static_cast<long>(rows) * kColumns);
            return 1;
        }
        if (!python) {
            std::printf("file: ours %.1f MB\n", fs::file_size(ours) / 1048576.0);
            std::printf(
                "write %7d rows | ours: %6.2f s wall, %6.2f s cpu, peak %5ld MB\n"
                "read  %7d rows | ours: %6.2f s wall, %6.2f s cpu, peak %5ld MB\n",
                rows, write.seconds, write.cpuSeconds, write.peakKb / 1024, rows, read.seconds,
                read.cpuSeconds, read.peakKb / 1024);
            fs::remove(ours);
            continue;
        }
        Measure pyWrite = runPython("write", theirs, rows);
        Measure pyRead = runPython("read", ours, rows);
        std::printf("file: ours %.1f MB, openpyxl's %.1f MB\n", fs::file_size(ours) / 1048576.0,
                    fs::file_size(theirs) / 1048576.0);
        report("write", rows, write, pyWrite);
        report("read", rows, read, pyRead);
        fs::remove(ours);
        fs::remove(theirs);
    }
    fs::remove_all(dir);
    return 0;
}
