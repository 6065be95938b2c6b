// CSV export and reading of "Menu" with 65,534 dishes (17 columns), against
// sqlite3 writing the same export view as CSV.
//
// Writing: pos-transfer-cli export to .csv, end to end, beside `sqlite3
// -csv` of the view (which reads the same rows and writes them as CSV, with
// no workbook in between). The goal: the export takes at most sqlite3's time
// plus the workbook layer's cost for the cells, that cost being what the
// session takes per cell to write the same cells as .xlsx (as bench_xlsx
// measures it), measured here in the same run.
//
// Reading: the session opening the exported .csv and reading every cell, as
// the import does, against the same budget with the session's per-cell cost
// of reading the .xlsx; sqlite3's own `.import --csv` of the file is shown
// beside it.
//
//   bench_csv [ROWS] [--cli PATH] [--keep]   (defaults: 65534, pos-transfer-cli beside
//   this program; --keep leaves the store in place and names it, to time the commands by
//   hand: an export drops the views it made, so give sqlite3 views of other names)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/AppFolders.h"
#include "common/Value.h"
#include "db/SqliteBackend.h"
#include "transfer/ExThread.h"
#include "workbook/SpreadsheetSession.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace pos;
using bench::cpuOf;
using bench::Outcome;
using bench::readFile;
using bench::runTimed;

namespace {

constexpr int kColumns = 17;

// Runs `work` in a child process, so that its time and memory are its own.
template <class Work>
Outcome inChild(Work work) {
    int fds[2];
    if (::pipe(fds) != 0) {
        std::abort();
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const auto start = Clock::now();
        Outcome o;
        o.checksum = work();
        o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        o.peakKiB = usage.ru_maxrss;
        o.cpuSeconds = cpuOf(usage);
        o.exitCode = 0;
        ::_exit(::write(fds[1], &o, sizeof o) == sizeof o ? 0 : 2);
    }
    ::close(fds[1]);
    Outcome o;
    if (::read(fds[0], &o, sizeof o) != sizeof o) {
        std::fprintf(stderr, "a measured phase failed\n");
        std::exit(1);
    }
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return o;
}

// The cells of sqlite3's CSV of the view (its texts hold no comma or quote),
// as the export hands them to the session: numbers as exact decimals.
std::vector<std::vector<Value>> cellsOf(const std::string& csv) {
    std::vector<std::vector<Value>> rows;
    std::istringstream in(csv);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::vector<Value> row;
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = line.find(',', start);
            const std::string field = line.substr(start, comma - start);
            const bool number =
                !field.empty() && field.find_first_not_of("0123456789.-") == std::string::npos;
            row.push_back(field.empty() ? Value()
                          : number      ? Value::decimal(field)
                                        : Value::text(field));
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// The session writing the cells to `path`, as the export does.
long writeWithSession(const std::vector<std::vector<Value>>& rows, const std::string& path) {
    workbook::SpreadsheetSession s;
    s.startExcel();
    s.addWorkbook();
    s.nameFirstSheet("Menu");
    s.sheetByName("Menu");
    s.wrapAllCells();
    for (int c = 1; c <= kColumns; ++c) {
        s.writeCell(2, c, "标题" + std::to_string(c));
    }
    int r = 3;
    long cells = 0;
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (!row[c].isNull()) {
                s.writeValue(r, static_cast<int>(c) + 1, row[c]);
                ++cells;
            }
        }
        ++r;
    }
    s.saveSheetAs(path);
    s.releaseExcel();
    return cells;
}

// The session reading every cell of `path`, as the import does.
long readWithSession(const std::string& path) {
    workbook::SpreadsheetSession s;
    s.startExcel();
    s.openWorkbook(path);
    s.nameFirstSheet("Menu");
    s.sheetByName("Menu");
    const int used = s.usedRowCount("Menu");
    const int columns = s.usedColumnCount("Menu");
    long cells = 0;
    for (int r = 3; r <= used + 1; ++r) {
        for (int c = 1; c <= columns; ++c) {
            cells += s.readCell(r, c).isNull() ? 0 : 1;
        }
    }
    s.releaseExcel();
    return cells;
}

}  // namespace

int main(int argc, char** argv) {
    const bench::ExportBenchArgs args = bench::parseExportBenchArgs(
        argc, argv, transfer::kXlsMaxRecords, executableDir() + "pos-transfer-cli");
    const int rows = args.rows;
    const std::string& cli = args.cli;
    std::cout << "Generating " << rows << " dishes...\n";
    const bench::DishStore made = bench::makeDishStore("bench-csv", rows);
    const std::string& dir = made.dir;
    const std::string& store = made.store;
    const std::string& dbFile = made.dbFile;
    const std::string ours = dir + "menu.csv";

    // 1. The command line, end to end: connect, check, views, query, file.
    const Outcome exported = runTimed("'" + cli + "' --store '" + store + "' --field-maps '" + dir +
                                      "maps' export --database bench --dataset Menu " +
                                      "--output '" + ours + "' >/dev/null");

    // 2. sqlite3 writing the same view as CSV (the views made beforehand, not timed).
    std::string views;
    for (const std::string& s : transfer::createViewStatements(datasets::kMenuDataset)) {
        views += s + ";";
    }
    runTimed("sqlite3 '" + dbFile + "' '" + views + "'");
    const Outcome sqliteCsv =
        runTimed("sqlite3 -csv '" + dbFile + "' 'select * from VSMenu' > '" + dir + "view.csv'");

    // 3. The workbook layer alone, on the same cells: CSV, and .xlsx as
    // bench_xlsx measures the layer's per-cell cost.
    const std::vector<std::vector<Value>> cells = cellsOf(readFile(dir + "view.csv"));
    const Outcome layerCsv = inChild([&] { return writeWithSession(cells, dir + "layer.csv"); });
    const Outcome layerXlsx = inChild([&] { return writeWithSession(cells, dir + "layer.xlsx"); });
    const Outcome readCsv = inChild([&] { return readWithSession(ours); });
    const Outcome readXlsx = inChild([&] { return readWithSession(dir + "layer.xlsx"); });
    const Outcome sqliteImport =
        runTimed("sqlite3 :memory: '.import --csv --skip 2 " + ours + " t' >/dev/null");
    if (readCsv.checksum != layerCsv.checksum || readXlsx.checksum != layerXlsx.checksum) {
        std::fprintf(stderr, "read %ld and %ld cells, wrote %ld\n", readCsv.checksum,
                     readXlsx.checksum, layerCsv.checksum);
        return 1;
    }
    const double cellCount = static_cast<double>(layerCsv.checksum);

    std::printf("\n%-44s %10s %10s %12s\n", "phase", "seconds", "cpu s", "peak MiB");
    auto line = [](const char* what, const Outcome& o) {
        std::printf("%-44s %10.3f %10.3f %12.1f\n", what, o.seconds, o.cpuSeconds,
                    o.peakKiB / 1024.0);
    };
    line("pos-transfer-cli export (.csv)", exported);
    line("sqlite3 -csv of the export view", sqliteCsv);
    line("session writes the cells as .csv", layerCsv);
    line("session writes the cells as .xlsx", layerXlsx);
    line("session reads our .csv, every cell", readCsv);
    line("session reads the .xlsx, every cell", readXlsx);
    line("sqlite3 .import --csv of our .csv", sqliteImport);

    // The budget: sqlite3's CSV plus the layer's cost for the cells.
    const double writeBudget = sqliteCsv.cpuSeconds + layerXlsx.cpuSeconds;
    const double readBudget = sqliteCsv.cpuSeconds + readXlsx.cpuSeconds;
    std::printf("\ncells: %.0f; the layer per cell: %.2f us writing .xlsx, %.2f us reading it\n",
                cellCount, layerXlsx.cpuSeconds / cellCount * 1e6,
                readXlsx.cpuSeconds / cellCount * 1e6);
    std::printf("export / sqlite3 -csv:    %.2fx wall, %.2fx cpu\n",
                exported.seconds / sqliteCsv.seconds, exported.cpuSeconds / sqliteCsv.cpuSeconds);
    std::printf("writing: %.3f s cpu against a budget of %.3f s (sqlite3 -csv + layer): %s\n",
                exported.cpuSeconds, writeBudget,
                exported.cpuSeconds <= writeBudget ? "met" : "NOT met");
    std::printf("reading: %.3f s cpu against a budget of %.3f s (sqlite3 -csv + layer): %s\n",
                readCsv.cpuSeconds, readBudget,
                readCsv.cpuSeconds <= readBudget ? "met" : "NOT met");

    if (args.keep) {
        std::printf("\nthe store: %s\n", store.c_str());
    } else {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    return exported.exitCode == 0 && exported.cpuSeconds <= writeBudget &&
                   readCsv.cpuSeconds <= readBudget
               ? 0
               : 1;
}
