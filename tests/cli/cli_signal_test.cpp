// The command line and the signals it finds at start: a signal it was started
// with ignored (as nohup starts a program) stays ignored for the whole run.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "support/Process.h"
#include "support/StoreFixture.h"
#include "support/TempDir.h"
#include "support/Workbooks.h"

namespace {

using namespace pos::clitest;
using pos::testing::StoreFixture;
using pos::testing::TempDir;

struct SignalCase {
    const char* name;
    bool ignoredAtStart;  // the program starts with SIGINT ignored
    int exitCode;         // after SIGINT mid-import
    const char* dishes;   // new dishes in the database afterwards
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

class CliSignals : public ::testing::TestWithParam<SignalCase> {};

}  // namespace

// SIGINT comes while the import stages its rows, its signal set-up long done:
// an ignored SIGINT changes nothing, a caught one stops the import.
TEST_P(CliSignals, SigintMidImportFollowsTheDispositionFoundAtStart) {
    const SignalCase& c = GetParam();
    StoreFixture store(true, "pos_demo");
    TempDir work;
    std::vector<std::vector<std::string>> rows{
        pos::testing::defaultHeadings(pos::datasets::kMenuDataset, 9)};
    for (int id = 50000; id < 55000; ++id) {
        rows.push_back({std::to_string(id), "新菜" + std::to_string(id), "XC", "热菜", "菜品", "份",
                        "18", "6", "16"});
    }
    const std::string path = work.file("many.xls");
    pos::testing::writeWorkbook(path, rows);

    pos::testing::RunOptions options;
    options.cwd = work.dir();
    options.unsetEnv = {"POS_TRANSFER_STORE"};
    (c.ignoredAtStart ? options.ignoredSignals : options.defaultSignals) = {SIGINT};
    pos::testing::StartedProgram cli = pos::testing::startProgram(
        {kCliProgram, "--store", store.storeDir(), "--field-maps", work.dir() + "maps", "import",
         "--database", "pos_demo", "--dataset", "Menu", "--station", "1", "--input", path},
        options);
    // The staging table stands from before the first row to the clean-up;
    // each write to the store's files wakes the look for it.
    const int changes = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(changes, 0);
    ASSERT_GE(inotify_add_watch(changes, store.storeDir().c_str(), IN_MODIFY | IN_CREATE), 0);
    bool staging = false;
    while (!staging && !cli.ended()) {
        staging = store.scalar("select count(*) from sqlite_master where name = 'TEMPMenu'") == "1";
        pollfd ready{changes, POLLIN, 0};
        // The time-out only lets the loop see an import that ended early.
        if (!staging && poll(&ready, 1, 1000) > 0) {
            char events[4096];
            [[maybe_unused]] const ssize_t got = read(changes, events, sizeof events);
        }
    }
    close(changes);
    ASSERT_TRUE(staging) << "the import ended before its rows were staged";
    cli.signal(SIGINT);
    const pos::testing::ProgramRun run = cli.wait();
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(store.scalar("select count(*) from menu where ID >= 50000"), c.dishes);
    EXPECT_EQ(store.scalar("select count(*) from sqlite_master where name like 'TEMP%'"), "0");
}

INSTANTIATE_TEST_SUITE_P(Dispositions, CliSignals,
                         ::testing::Values(SignalCase{"IgnoredStaysIgnored", true, 0, "5000"},
                                           SignalCase{"CaughtStopsTheImport", false, 130, "0"}),
                         [](const auto& p) { return std::string(p.param.name); });
