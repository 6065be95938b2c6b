// Import of 10,000 new dishes (50 categories, 10 statistics categories, 20
// units, a third of the dishes with three units) into a copy of the demo
// database: the time of each phase measured in-process with the worker the
// command line runs, then the command line itself end to end with its peak
// memory, and, as the floor, sqlite3's own .import of the same rows from CSV.
//
//   bench_import [ROWS] [--xlsx] [--cli PATH] [--keep]
//   (defaults: 10000 rows in a .xls workbook, which holds up to 65,534 dishes
//   below its heading rows: more rows, or --xlsx, write a .xlsx workbook;
//   pos-transfer-cli beside this program; --keep leaves the workbook, the CSV
//   and the stores in place for a profiler)
//
//   bench_import --latency-ms MS [ROWS]
//   (instead: the statements that an import of ROWS new dishes (default
//   2000) creating categories and units, an import updating as many changed
//   dishes, a dry run and an export send, counted by a back end that waits MS
//   milliseconds for each round trip, as a server across a network does;
//   each import once with the merge a row at a time, as before batches, and
//   once with its batches)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "CountingBackend.h"
#include "bench_support.h"
#include "common/AppFolders.h"
#include "common/Text.h"
#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "db/Connection.h"
#include "db/SqliteBackend.h"
#include "transfer/ExThread.h"
#include "transfer/ImThread.h"
#include "workbook/SpreadsheetSession.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace pos;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this process so far (every thread), in seconds: on a shared
// machine it says more than the wall clock.
double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

std::vector<std::string> dishRow(int i, int priceShift = 0) {
    const std::string price = std::to_string(10 + priceShift + i % 90) + ".5";
    std::vector<std::string> row{std::to_string(100000 + i),
                                 "测试菜品" + std::to_string(i),
                                 "CSCP",
                                 "类别" + std::to_string(i % 50),
                                 "统计" + std::to_string(i % 10),
                                 "单位" + std::to_string(i % 20),
                                 price,
                                 "4",
                                 "0"};
    if (i % 3 == 0) {
        row.insert(row.end(), {"单位" + std::to_string((i + 7) % 20), price, "5", "0",
                               "单位" + std::to_string((i + 13) % 20), price, "6", "0"});
    } else {
        row.insert(row.end(), {"", "", "", "", "", "", "", ""});
    }
    return row;
}

// The gauge's passes, timed: the staging pass takes the gauge's first 200,
// so the first position above 100 is its second half of the rows, and the
// first above 200 starts the merge.
class TimingView : public transfer::TransferView {
public:
    explicit TimingView(Clock::time_point start) : m_start(start) {}
    void setChoiceControlsEnabled(bool) override {}
    void setProgress(int position) override {
        const double t = secondsSince(m_start);
        if (firstProgress < 0 && position > 0) {
            firstProgress = t;
        }
        if (secondHalfStart < 0 && position > 100) {
            secondHalfStart = t;
        }
        if (mergeStart < 0 && position > 200) {
            mergeStart = t;
        }
    }
    void clearPath() override {}
    void showMessage(const std::string& text) override {
        messageAt = secondsSince(m_start);
        message = text;
    }

    double firstProgress = -1, secondHalfStart = -1, mergeStart = -1, messageAt = -1;
    std::string message;

private:
    Clock::time_point m_start;
};

struct ChildRun {
    int exitCode = -1;
    double seconds = 0;
    double cpuSeconds = 0;  // user + system
    long peakKb = 0;
};

ChildRun runChild(const std::vector<std::string>& args, const std::string& outFile) {
    ChildRun run;
    std::fflush(stdout);
    std::fflush(stderr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::FILE* out = std::freopen(outFile.c_str(), "w", stdout);
        std::FILE* err = std::freopen((outFile + ".err").c_str(), "w", stderr);
        (void)out;
        (void)err;
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = secondsSince(start);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peakKb = usage.ru_maxrss;
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return run;
}

// Writes the workbook of `rows` dishes (prices raised by `priceShift`) with
// the program's own session, and the same rows as CSV when `csvPath` is given.
void writeDishes(const std::string& path, int rows, int priceShift, const std::string& csvPath) {
    workbook::SpreadsheetSession session;
    session.startExcel();
    session.addWorkbook();
    session.nameFirstSheet("Menu");
    session.sheetByName("Menu");
    const datasets::FieldMap& map = datasets::defaultFieldMap("Menu");
    for (std::size_t c = 0; c < map.entries.size(); ++c) {
        session.writeCell(2, static_cast<int>(c) + 1, map.entries[c].showName);
    }
    std::ofstream csv;
    if (!csvPath.empty()) {
        csv.open(csvPath);
    }
    for (int i = 0; i < rows; ++i) {
        const std::vector<std::string> row = dishRow(i, priceShift);
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (!row[c].empty()) {
                session.writeCell(3 + i, static_cast<int>(c) + 1, row[c]);
            }
            if (csv.is_open()) {
                csv << (c ? "," : "") << row[c];
            }
        }
        if (csv.is_open()) {
            csv << "\n";
        }
    }
    session.saveSheetAs(path);
    session.releaseExcel();
}

// What one transfer sent: in all, and from the merge's start (the gauge past
// 200) on.
struct Sent {
    bench::StatementCount all;
    bench::StatementCount merge;
    double seconds = 0;
    double cpuSeconds = 0;
    double mergeSeconds = 0;
    std::string outcome;
};

// Notes the counts when the merge starts.
class CountingView : public transfer::TransferView {
public:
    explicit CountingView(const bench::StatementCount& count) : m_count(count) {}
    void setChoiceControlsEnabled(bool) override {}
    void setProgress(int position) override {
        if (!m_mergeStarted && position > 200) {
            m_mergeStarted = true;
            atMergeStart = m_count;
            mergeStart = Clock::now();
        }
    }
    void clearPath() override {}
    void showMessage(const std::string& text) override { message = text; }

    bench::StatementCount atMergeStart;
    Clock::time_point mergeStart;
    std::string message;

private:
    const bench::StatementCount& m_count;
    bool m_mergeStarted = false;
};

struct Session {
    std::shared_ptr<bench::StatementCount> count = std::make_shared<bench::StatementCount>();
    std::unique_ptr<db::Connection> connection;

    explicit Session(const std::string& store) {
        db::ConnectionSettings settings;
        settings.storeDir = store;
        settings.wrapBackend = bench::countingWith(count);
        connection = std::make_unique<db::Connection>(settings);
        connection->setConnectionText(
            "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;"
            "Initial Catalog=pos_demo;Data Source=.");
        connection->connect();
        *count = {};
    }
    transfer::TransferSession queries() { return transfer::TransferSession(*connection); }
};

transfer::TransferOptions dishOptions(const std::string& dir, const std::string& path) {
    transfer::TransferOptions options{.dataset = datasets::kMenuDataset,
                                      .database = "pos_demo",
                                      .path = path,
                                      .fieldMapDir = dir};
    options.stationNumber = 1;
    return options;
}

Sent importCounted(const std::string& store, const std::string& dir, const std::string& path,
                   int batchRows, bool dryRun, bool update, std::chrono::microseconds latency) {
    Session session(store);
    transfer::TransferOptions options = dishOptions(dir, path);
    options.mergeBatchRows = batchRows;
    options.importChoices.dryRun = dryRun;
    options.importChoices.updateExisting = update;
    session.count->latency = latency;
    CountingView view(*session.count);
    const auto start = Clock::now();
    const double cpuStart = processCpuSeconds();
    transfer::MyImThread worker(session.queries(), options, view);
    worker.run();
    Sent sent;
    sent.seconds = secondsSince(start);
    sent.cpuSeconds = processCpuSeconds() - cpuStart;
    sent.all = *session.count;
    sent.merge.roundTrips = sent.all.roundTrips - view.atMergeStart.roundTrips;
    sent.merge.statements = sent.all.statements - view.atMergeStart.statements;
    sent.mergeSeconds = std::chrono::duration<double>(Clock::now() - view.mergeStart).count();
    sent.outcome = worker.result().everyRowInDatabase() ? "ok" : view.message.substr(0, 60);
    return sent;
}

Sent exportCounted(const std::string& store, const std::string& dir, const std::string& path,
                   std::chrono::microseconds latency) {
    Session session(store);
    transfer::TransferOptions options = dishOptions(dir, path);
    session.count->latency = latency;
    CountingView view(*session.count);
    const auto start = Clock::now();
    const double cpuStart = processCpuSeconds();
    transfer::MyExThread worker(session.queries(), options, view);
    worker.runExport();
    worker.finishExport();
    Sent sent;
    sent.seconds = secondsSince(start);
    sent.cpuSeconds = processCpuSeconds() - cpuStart;
    sent.all = *session.count;
    sent.outcome = worker.result().succeeded() ? "ok" : view.message.substr(0, 60);
    return sent;
}

void printSent(const char* what, int rows, const Sent& sent, bool split) {
    const double perRow = static_cast<double>(sent.all.statements) / rows;
    std::printf("%-34s %6d %8ld %9ld %8.2f", what, rows, sent.all.roundTrips, sent.all.statements,
                perRow);
    if (split) {
        std::printf(" %9ld %9ld", sent.all.statements - sent.merge.statements,
                    sent.merge.statements);
    } else {
        std::printf(" %9s %9s", "-", "-");
    }
    if (split) {
        std::printf(" %8.2f", sent.mergeSeconds);
    } else {
        std::printf(" %8s", "-");
    }
    std::printf(" %8.2f %6.2f  %s\n", sent.seconds, sent.cpuSeconds, sent.outcome.c_str());
}

// The statements section: each import a row at a time and in batches, each
// into a fresh copy of the demo database.
int countStatements(int rows, double latencyMs) {
    std::string pattern = (fs::temp_directory_path() / "pos-bench-statements-XXXXXX").string();
    const std::string dir = std::string(mkdtemp(pattern.data())) + "/";
    const std::vector<std::string> scripts{bench::readFile(POS_SQL_DIR "/schema_sqlite.sql"),
                                           bench::readFile(POS_SQL_DIR "/demo_data.sql")};
    datasets::writeDefaultFieldMaps(dir);
    const std::string fresh = dir + "dishes.xls";
    const std::string changed = dir + "changed.xls";
    writeDishes(fresh, rows, 0, "");
    writeDishes(changed, rows, 3, "");
    const auto latency = std::chrono::microseconds(std::lround(latencyMs * 1000.0));
    int store = 0;
    const auto newStore = [&] {
        const std::string path = dir + "store" + std::to_string(++store);
        db::createStoreDatabase(path, "pos_demo", scripts);
        return path;
    };

    std::printf("%.3g ms per round trip; statements = the SQL statements inside the round trips\n",
                latencyMs);
    std::printf("%-34s %6s %8s %9s %8s %9s %9s %8s %8s %6s\n", "", "rows", "trips", "statements",
                "per row", "staging", "merge", "merge s", "seconds", "CPU");
    std::string exportStore;
    for (const int batchRows : {1, transfer::kMergeBatchRows}) {
        const std::string how = batchRows == 1 ? " (a row at a time)" : " (batches)";
        const std::string imported = newStore();
        printSent(("import new" + how).c_str(), rows,
                  importCounted(imported, dir, fresh, batchRows, false, false, latency), true);
        printSent(("--update-existing" + how).c_str(), rows,
                  importCounted(imported, dir, changed, batchRows, false, true, latency), true);
        printSent(("--dry-run" + how).c_str(), rows,
                  importCounted(newStore(), dir, fresh, batchRows, true, false, latency), true);
        exportStore = imported;
    }
    printSent("export", rows, exportCounted(exportStore, dir, dir + "export.xls", latency), false);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rows = 10000;
    bool keep = false;
    bool xlsx = false;
    std::string cli = executableDir() + "pos-transfer-cli";
    double latencyMs = -1;
    bool rowsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--latency-ms" && i + 1 < argc) {
            latencyMs = std::atof(argv[++i]);
        } else if (a == "--keep") {
            keep = true;
        } else if (a == "--xlsx") {
            xlsx = true;
        } else if (a == "--cli" && i + 1 < argc) {
            cli = argv[++i];
        } else if (const int n = bench::rowCount(a); n > 0) {
            rows = n;
            rowsGiven = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [ROWS] [--xlsx] [--keep] [--cli PATH] [--latency-ms MS]\n",
                         argv[0]);
            return 2;
        }
    }
    if (latencyMs >= 0) {
        return countStatements(rowsGiven ? rows : 2000, latencyMs);
    }

    std::string pattern = (fs::temp_directory_path() / "pos-bench-import-XXXXXX").string();
    const std::string dir = std::string(mkdtemp(pattern.data())) + "/";
    const std::vector<std::string> scripts{bench::readFile(POS_SQL_DIR "/schema_sqlite.sql"),
                                           bench::readFile(POS_SQL_DIR "/demo_data.sql")};
    db::createStoreDatabase(dir + "store", "pos_demo", scripts);
    db::createStoreDatabase(dir + "store2", "pos_demo", scripts);
    datasets::writeDefaultFieldMaps(dir);

    // The workbook, written with the program's own session.
    const std::string path = dir + (xlsx || rows > 65534 ? "dishes.xlsx" : "dishes.xls");
    auto t = Clock::now();
    writeDishes(path, rows, 0, dir + "dishes.csv");
    std::printf("workbook of %d dishes written in %.3f s (%s, %ju bytes)\n", rows, secondsSince(t),
                path.c_str(), static_cast<std::uintmax_t>(fs::file_size(path)));

    // In-process: the worker that the command line runs, phase by phase.
    {
        db::ConnectionSettings settings;
        settings.storeDir = dir + "store";
        db::Connection connection(settings);
        connection.setConnectionText(
            "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;"
            "Initial Catalog=pos_demo;Data Source=.");
        connection.connect();
        const transfer::TransferOptions options = dishOptions(dir, path);
        const auto start = Clock::now();
        const double cpuStart = processCpuSeconds();
        TimingView view(start);
        transfer::MyImThread worker(transfer::TransferSession(connection), options, view);
        worker.run();
        const double total = secondsSince(start);
        const double cpu = processCpuSeconds() - cpuStart;
        const double read = view.firstProgress;
        const double firstHalf = view.secondHalfStart - view.firstProgress;
        const double secondHalf = view.mergeStart - view.secondHalfStart;
        const double merge = view.messageAt - view.mergeStart;
        std::printf("in-process import: outcome %s, %d dishes inserted\n",
                    worker.result().everyRowInDatabase() ? "complete" : "INCOMPLETE",
                    worker.result().merge.inserted);
        std::printf("  read workbook, build staging, match headings  %8.3f s\n", read);
        std::printf("  staging pass, first half of the rows          %8.3f s\n", firstHalf);
        std::printf("  staging pass, second half and its commit      %8.3f s\n", secondHalf);
        std::printf("  merge                                         %8.3f s\n", merge);
        std::printf("  clean-up                                      %8.3f s\n",
                    total - view.messageAt);
        std::printf("  total %.3f s (CPU %.3f s), %.0f rows/s\n", total, cpu, rows / total);
        // The high-water mark of this process, writing the workbook included
        // (its cells are spooled to disk, so the import sets the mark).
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("  peak memory of this process %.1f MB\n", usage.ru_maxrss / 1024.0);
        if (!worker.result().everyRowInDatabase()) {
            std::printf("  message: %s\n", view.message.c_str());
        }
    }

    // The command line, end to end, into a fresh copy.
    {
        const ChildRun run =
            runChild({cli, "--store", dir + "store2", "--field-maps", dir, "import", "--database",
                      "pos_demo", "--dataset", "Menu", "--station", "1", "--input", path},
                     dir + "cli.out");
        std::printf(
            "pos-transfer-cli import: exit %d, %.3f s (CPU %.3f s), %.0f rows/s, peak memory %.1f "
            "MB\n",
            run.exitCode, run.seconds, run.cpuSeconds, rows / run.seconds, run.peakKb / 1024.0);
        if (run.exitCode != 0) {
            std::printf("  stderr: %s\n", bench::readFile(dir + "cli.out.err").c_str());
        }
    }

    // The floor: sqlite3 loading the same rows from CSV into a plain table.
    {
        const std::string db = dir + "floor.db";
        const ChildRun run = runChild(
            {"/usr/bin/sqlite3", db,
             "create table dishes (ID, Name, FirstLetter, CategoryName, SCNA, Unit1, Price1, "
             "Cost1, VPrice1, Unit2, Price2, Cost2, VPrice2, Unit3, Price3, Cost3, VPrice3);",
             ".import --csv " + dir + "dishes.csv dishes"},
            dir + "floor.out");
        std::printf("sqlite3 .import of the same rows: exit %d, %.3f s (CPU %.3f s), %.0f rows/s\n",
                    run.exitCode, run.seconds, run.cpuSeconds, rows / run.seconds);
    }

    if (keep) {
        std::printf("files kept in %s\n", dir.c_str());
    } else {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    return 0;
}
