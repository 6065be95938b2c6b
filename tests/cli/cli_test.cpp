// The command-line program as a user runs it: the built binary, started from
// a folder of its own, with its exit codes and messages.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_run.h"
#include "db/TempStore.h"

namespace {

using pos::testing::TempStore;

using namespace pos::clitest;

class CliTest : public ::testing::Test {
protected:
    CliRun cli(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), {"--store", store.dir() + "/store"});
        return runCli(args, work.dir(), env);
    }
    TempStore store;
    TempStore work;  // the current folder: no source tree, no sql/ folder
};

TEST_F(CliTest, DemoThenDatabasesThenCheck) {
    // NAME.db of a 240-character name fits in a file name.
    const std::string longName(240, 'z');
    for (const std::string& name : {std::string("pos_demo"), longName}) {
        CliRun demo = cli({"demo", name});
        ASSERT_EQ(demo.exitCode, 0) << demo.err;
    }
    CliRun list = cli({"databases"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, "pos_demo\n" + longName + "\n");
    EXPECT_EQ(cli({"check", "--database", longName, "--dataset", "Menu"}).exitCode, 0);

    for (const char* dataset :
         {"Menu", "menu", "hallTable", "MENUANNOTATE", "菜品信息", "厅桌信息", "菜品注释"}) {
        CliRun check = cli({"check", "--database", "pos_demo", "--dataset", dataset});
        EXPECT_EQ(check.exitCode, 0) << dataset << ": " << check.err;
    }
}

struct ExitCase {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* message;  // part of stderr
};

TEST_F(CliTest, RefusalsAndBadUsage) {
    ASSERT_EQ(cli({"demo", "pos_demo"}).exitCode, 0);
    store.createDatabase("store/empty", "create table menu(ID integer);");
    const ExitCase cases[] = {
        {"demo over an existing database", {"demo", "pos_demo"}, 1, "已存在"},
        {"tables missing",
         {"check", "--database", "empty", "--dataset", "Menu"},
         1,
         "您选择的'empty'数据库的'菜品信息'相关表不全，请检查数据库！"},
        {"missing database",
         {"check", "--database", "nope", "--dataset", "Menu"},
         1,
         "数据库“nope”不存在"},
        {"unknown dataset",
         {"check", "--database", "pos_demo", "--dataset", "Dishes"},
         2,
         "Unknown dataset \"Dishes\""},
        {"check without database", {"check", "--dataset", "Menu"}, 2, "--database"},
        {"no command", {}, 2, ""},
        {"unknown command", {"frobnicate"}, 2, ""},
        {"demo on a server",
         {"--data-source", "db.example", "demo", "x"},
         2,
         "embedded store only"},
        {"bad demo name", {"demo", "a/b"}, 1, "不能作为数据库名"},
    };
    for (const ExitCase& c : cases) {
        CliRun r = cli(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    }
}

// Commands that only read never write a store file: an empty NAME.db stays
// empty, with its time, and the check says what it lacks.
TEST_F(CliTest, ReadingCommandsLeaveAnEmptyFileAlone) {
    std::filesystem::create_directory(store.dir() + "/store");
    const std::filesystem::path file = store.path("store/blank");
    store.writeFile("store/blank.db", "");
    const auto before = std::filesystem::last_write_time(file) - std::chrono::hours(1);
    std::filesystem::last_write_time(file, before);

    CliRun list = cli({"databases"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, "blank\n");
    CliRun check = cli({"check", "--database", "blank", "--dataset", "Menu"});
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_EQ(check.err, "您选择的'blank'数据库的'菜品信息'相关表不全，请检查数据库！\n");
    EXPECT_EQ(std::filesystem::file_size(file), 0u);
    EXPECT_EQ(std::filesystem::last_write_time(file), before);
}

TEST_F(CliTest, StoreFromTheEnvironment) {
    std::string dir = store.dir() + "/from-env";
    CliRun demo = runCli({"demo", "envdb"}, work.dir(), {"POS_TRANSFER_STORE=" + dir});
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    CliRun list = runCli({"databases"}, work.dir(), {"POS_TRANSFER_STORE=" + dir});
    EXPECT_EQ(list.out, "envdb\n");
}

TEST_F(CliTest, UnreachableServerFailsQuickly) {
    auto start = std::chrono::steady_clock::now();
    CliRun r = cli({"--data-source", "127.0.0.1,1", "--user", "sa", "databases"},
                   {"POS_TRANSFER_PASSWORD=x"});
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_FALSE(r.err.empty());
    EXPECT_LT(seconds, 20);
}

}  // namespace
