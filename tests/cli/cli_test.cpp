// The command-line program as a user runs it: the built binary, started from
// a folder of its own, with its exit codes and messages.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "cli/cli_run.h"
#include "support/TempDir.h"

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
         "没有名为“Dishes”的数据集"},
        {"check without database", {"check", "--dataset", "Menu"}, 2, "--database"},
        {"no command", {}, 2, ""},
        {"unknown command", {"frobnicate"}, 2, ""},
        {"demo on a server",
         {"--data-source", "db.example", "demo", "x"},
         2,
         "演示数据库只建在内置数据库中"},
        {"bad demo name", {"demo", "a/b"}, 1, "不能作为数据库名"},
    };
    for (const ExitCase& c : cases) {
        CliRun r = cli(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    }
}

// The version in the project() line of the top CMakeLists.txt, the one the
// program shows.
std::string projectVersion() {
    std::ifstream in(std::string(POS_SOURCE_DIR) + "/CMakeLists.txt");
    std::stringstream text;
    text << in.rdbuf();
    std::smatch match;
    const std::string content = text.str();
    std::regex_search(content, match, std::regex(R"(project\([^)]*VERSION ([0-9.]+))"));
    return match.size() > 1 ? match[1].str() : "?";
}

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;  // OUT stands for a folder at the export's output path
    int exitCode;
    std::string expected;  // part of stderr, or all of stdout when it is a success
};

// What a user can get wrong, and what the program says instead of doing it.
TEST_F(CliTest, RefusalsNameTheMistake) {
    const std::string folder = work.dir() + "/out.xls";
    std::filesystem::create_directory(folder);
    const std::vector<std::string> exportToFolder{"--field-maps", work.dir() + "/maps", "export",
                                                  "--database",   "pos_demo",           "--dataset",
                                                  "Menu",         "--output",           "OUT"};
    std::vector<std::string> overwriteFolder = exportToFolder;
    overwriteFolder.push_back("--overwrite");
    const std::string folderMessage =
        "数据导出失败：保存路径" + folder + "是一个文件夹，不是文件，工作簿不能保存在这里。";
    const RefusalCase cases[] = {
        {"demo under a system name",
         {"demo", "master"},
         1,
         "“master”是系统数据库的名称，程序不会列出它，请换一个名称。"},
        {"demo under another system name", {"demo", "msdb"}, 1, "“msdb”是系统数据库的名称"},
        {"folder at the output path", exportToFolder, 1, folderMessage},
        {"folder at the output path with --overwrite", overwriteFolder, 1, folderMessage},
        {"mistyped command", {"exprot"}, 2, "unknown command 'exprot'; did you mean 'export'?"},
        {"mistyped option",
         {"export", "--databse", "pos_demo", "--dataset", "Menu"},
         2,
         "unknown option '--databse'; did you mean '--database'?"},
        {"unknown short option",
         {"export", "-x"},
         2,
         "unknown option '-x'; the options are spelt out: --store"},
        {"long option with one dash",
         {"export", "-databse", "pos_demo"},
         2,
         "unknown option '-databse'; did you mean '--database'?"},
        {"extra arguments", {"demo", "a", "b", "c"}, 2, "unexpected arguments 'b' 'c' for 'demo'"},
        {"version", {"--version"}, 0, "pos-transfer-cli " + projectVersion() + "\n"},
    };
    for (const RefusalCase& c : cases) {
        std::vector<std::string> args;
        for (const std::string& a : c.args) {
            args.push_back(a == "OUT" ? folder : a);
        }
        CliRun r = cli(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        if (c.exitCode == 0) {
            EXPECT_EQ(r.out, c.expected) << c.name;
        } else {
            EXPECT_NE(r.err.find(c.expected), std::string::npos) << c.name << ": " << r.err;
        }
    }
    CliRun list = cli({"databases"});
    EXPECT_EQ(list.out, "");  // no database was made, under any name
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.err.find("中还没有数据库。要建立演示数据库，请运行：pos-transfer-cli"),
              std::string::npos)
        << list.err;
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    EXPECT_FALSE(std::filesystem::exists(work.dir() + "/maps"));
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

struct HelpCase {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    std::vector<std::string> expected;  // lines of stdout
};

// The help speaks Chinese when the locale that names the language of
// messages is a Chinese one, whether or not the system has that locale.
TEST_F(CliTest, HelpSpeaksTheLanguageOfTheLocale) {
    const std::string cliDescription =
        "Moves the point-of-sale datasets between a database and Excel workbooks.";
    const std::vector<std::string> chineseGlobal = {
        "在数据库和Excel工作簿之间传送收银系统的数据集。",
        "命令:", "  --version                   显示程序的名称和版本",
        "退出码：0 成功；1 被拒绝或失败（原因见标准错误输出）；2 用法错误；"};
    std::vector<HelpCase> cases = {
        {"global, Chinese", kCliProgram, {"--help"}, "", "", "zh_CN.UTF-8", chineseGlobal},
        {"global, English", kCliProgram, {"--help"}, "", "", "C", {cliDescription, "Commands:"}},
        {"command, Chinese",
         kCliProgram,
         {"export", "--help"},
         "",
         "",
         "zh_CN.UTF-8",
         {"把数据库的一个数据集写入新工作簿", "全局选项（可放在命令之前或之后）：",
          "  --database DB 必需          要从中导出的数据库",
          "  --overwrite                 工作簿已存在时替换它"}},
        {"command, English",
         kCliProgram,
         {"export", "--help"},
         "",
         "",
         "C",
         {"Write a dataset of a database into a new workbook",
          "Global options (before or after the command):"}},
        {"LC_ALL before LANG", kCliProgram, {"--help"}, "C", "", "zh_CN.UTF-8", {cliDescription}},
        {"LC_MESSAGES before LANG", kCliProgram, {"--help"}, "", "zh_CN.UTF-8", "C", chineseGlobal},
        {"another Chinese territory", kCliProgram, {"--help"}, "zh_TW", "", "", chineseGlobal},
        {"another language", kCliProgram, {"--help"}, "", "", "de_DE.UTF-8", {cliDescription}},
    };
#ifdef POS_WINDOW_PROGRAM
    cases.push_back({"window, Chinese",
                     POS_WINDOW_PROGRAM,
                     {"--help"},
                     "",
                     "",
                     "zh_CN.UTF-8",
                     {"用法：pos-transfer [选项]", "选项：",
                      "  --user <NAME>               SQL登录名；不给出时使用集成安全性。"}});
    cases.push_back({"window, English",
                     POS_WINDOW_PROGRAM,
                     {"--help"},
                     "",
                     "",
                     "C",
                     {"Usage: pos-transfer [options]", "Options:"}});
#endif
    for (const HelpCase& c : cases) {
        CliRun r =
            runCli(c.args, work.dir(),
                   {std::string("LC_ALL=") + c.lcAll, std::string("LC_MESSAGES=") + c.lcMessages,
                    std::string("LANG=") + c.lang},
                   c.program);
        EXPECT_EQ(r.exitCode, 0) << c.name << ": " << r.err;
        std::vector<std::string> lines;
        std::istringstream out(r.out);
        for (std::string line; std::getline(out, line);) {
            lines.push_back(line);
        }
        for (const std::string& expected : c.expected) {
            EXPECT_TRUE(std::find(lines.begin(), lines.end(), expected) != lines.end())
                << c.name << ": no line \"" << expected << "\" in\n"
                << r.out;
        }
    }
}

TEST_F(CliTest, StoreFromTheEnvironment) {
    std::string dir = store.dir() + "/from-env";
    CliRun demo = runCli({"demo", "envdb"}, work.dir(), {"POS_TRANSFER_STORE=" + dir});
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    CliRun list = runCli({"databases"}, work.dir(), {"POS_TRANSFER_STORE=" + dir});
    EXPECT_EQ(list.out, "envdb\n");
}

// The self-test works on a scratch database of its own and leaves the
// user's databases, the store folder and the temporary folder as they were.
TEST_F(CliTest, SelftestPassesAndLeavesNothingBehind) {
    ASSERT_EQ(cli({"demo", "pos_demo"}).exitCode, 0);
    const std::string tmp = work.dir() + "/tmp";
    std::filesystem::create_directory(tmp);

    CliRun r = cli({"selftest"}, {"TMPDIR=" + tmp});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[通过] 核对新建的菜品类别、统计类别和单位和菜品信息的每条记录"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("[通过] 删除临时数据库pos_transfer_selftest_"), std::string::npos);
    EXPECT_EQ(r.out.find("[失败]"), std::string::npos) << r.out;

    EXPECT_EQ(cli({"databases"}).out, "pos_demo\n");
    std::vector<std::string> left;
    for (const std::string& dir : {store.dir() + "/store", tmp}) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            left.push_back(entry.path().filename().string());
        }
    }
    EXPECT_EQ(left, std::vector<std::string>{"pos_demo.db"});
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
