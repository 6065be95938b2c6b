// "pos-transfer-cli import" as a user runs it: the built binary on a store
// made by "demo", workbooks written by the program's own spreadsheet session
// or its own export, the pre-check messages and the exit codes.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/cli_import_fixture.h"
#include "cli/cli_run.h"
#include "support/TempDir.h"
#include "support/Workbooks.h"
#include "transfer/export_fixture.h"
#include "workbook/WorkbookFormats.h"

namespace {

using pos::testing::TempStore;

using namespace pos::clitest;

// Prices with cents and a table number with leading zeros among them: the
// workbook holds the prices as numbers and the table number as text, and the
// database is byte for byte as before.
TEST_F(CliImport, ExportedDatasetsComeBackUnchanged) {
    // Objects of the user's own whose names only resemble those a transfer
    // creates stay: only the dataset's own views and tables are dropped.
    ASSERT_EQ(runShell("sqlite3 " + shellQuote(store.dir() + "/store/pos_demo.db") + " " +
                       shellQuote("create table TEMPHallTable0 (x); create table VSMenuAnnotate0 "
                                  "(x); create view VSHallTable0 as select 1 as x; create view "
                                  "TEMPMenuAnnotate0 as select 1 as x;")),
              0);
    const char* const kUsersOwn =
        "select count(*) from sqlite_master where name in ('TEMPHallTable0', 'VSMenuAnnotate0', "
        "'VSHallTable0', 'TEMPMenuAnnotate0')";
    const std::string database = store.dir() + "/store/pos_demo.db";
    ASSERT_EQ(runShell("sqlite3 " + shellQuote(database) + " " +
                       shellQuote("update tables set ID = 7, Code = '007' where ID = 101;"
                                  "update menu set Price1 = 12.34, Cost1 = 0.1, VPrice1 = 12.5 "
                                  "where ID = 1001;")),
              0);
    const std::string dump = "sqlite3 " + shellQuote(database) + " .dump > ";
    ASSERT_EQ(runShell(dump + shellQuote(work.dir() + "/before.sql")), 0);
    const std::string counts = scalar(kCounts);
    for (const pos::workbook::WorkbookFormat& format : pos::workbook::workbookFormats()) {
        for (const char* dataset : {"Menu", "HallTable", "MenuAnnotate"}) {
            SCOPED_TRACE(std::string(dataset) + format.extension);
            const std::string path = work.dir() + "/" + dataset + format.extension;
            CliRun exported =
                cli({"export", "--database", "pos_demo", "--dataset", dataset, "--output", path});
            ASSERT_EQ(exported.exitCode, 0) << exported.err;

            CliRun imported = import(dataset, path);
            EXPECT_EQ(imported.exitCode, 0) << imported.err;
            EXPECT_EQ(imported.out.rfind("数据导入成功！\n", 0), 0u) << imported.out;
            EXPECT_NE(imported.out.find("已存在"), std::string::npos) << imported.out;
            EXPECT_EQ(imported.err, "");
            EXPECT_EQ(scalar(kCounts), counts);
            EXPECT_EQ(scalar("select count(*) from sqlite_master where name like 'TEMP%'"), "2");
            EXPECT_EQ(scalar(kUsersOwn), "4");
        }
    }
    ASSERT_EQ(runShell(dump + shellQuote(work.dir() + "/after.sql")), 0);
    EXPECT_TRUE(slurp(work.dir() + "/after.sql") == slurp(work.dir() + "/before.sql"));
    // The imports leave their lock file hidden: the folder shows the database.
    std::vector<std::string> shown;
    for (const auto& entry : std::filesystem::directory_iterator(store.dir() + "/store")) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(".")) {
            shown.push_back(name);
        }
    }
    EXPECT_EQ(shown, std::vector<std::string>{"pos_demo.db"});
    EXPECT_TRUE(std::filesystem::exists(store.dir() + "/store/.pos_demo.import-lock"));
}

// Names with characters outside the Basic Multilingual Plane (emoji, rare
// characters) and trailing blanks, in numbers that make some land on the
// boundaries of the .xls string records: through every workbook format, a
// re-import changes nothing in the whole database, and an import into an
// emptied copy brings every name back byte for byte.
TEST_F(CliImport, NamesComeBackByteForByte) {
    const std::string source = store.dir() + "/store/pos_demo.db";
    const std::string copy = store.dir() + "/store/pos_copy.db";
    ASSERT_EQ(cli({"demo", "pos_copy"}).exitCode, 0);
    const auto sql = [](const std::string& db, const std::string& statements) {
        return runShell("sqlite3 " + shellQuote(db) + " " + shellQuote(statements));
    };
    ASSERT_EQ(sql(source,
                  "with recursive n(i) as (select 1 union all select i + 1 from n where i < 3000) "
                  "insert into menu (ID, Name, CategoryID, Unit1, Price1, SCSN) "
                  "select 20000 + i, '菜🍜' || i, 2, '份', 18, 1 from n;"
                  "update menu set Name = '𩽾𩾌鱼 ' where ID = 20007;"
                  "update tables set Name = Name || '🍜 ';"
                  "update Annotate set Name = Name || '🌶 ';"),
              0);
    const std::string dumpCommand = "sqlite3 " + shellQuote(source) + " .dump > ";
    ASSERT_EQ(runShell(dumpCommand + shellQuote(work.dir() + "/before.sql")), 0);

    const std::pair<const char*, const char*> datasets[] = {
        {"Menu", "select ID, Name from menu order by ID"},
        {"HallTable", "select ID, Name from tables order by ID"},
        {"MenuAnnotate", "select AnnotateTypeID, Name from Annotate order by 1, 2"}};
    for (const pos::workbook::WorkbookFormat& format : pos::workbook::workbookFormats()) {
        ASSERT_EQ(sql(copy, "delete from menu; delete from tables; delete from Annotate;"), 0);
        for (const auto& [dataset, names] : datasets) {
            SCOPED_TRACE(std::string(dataset) + format.extension);
            const std::string path = work.dir() + "/" + dataset + format.extension;
            ASSERT_EQ(
                cli({"export", "--database", "pos_demo", "--dataset", dataset, "--output", path})
                    .exitCode,
                0);
            CliRun again = import(dataset, path);
            EXPECT_EQ(again.exitCode, 0) << again.err;
            CliRun fresh = import(dataset, path, "1", "pos_copy");
            EXPECT_EQ(fresh.exitCode, 0) << fresh.err;
            const std::string listed = work.dir() + "/names-";
            ASSERT_EQ(runShell("sqlite3 " + shellQuote(source) + " " + shellQuote(names) + " > " +
                               shellQuote(listed + "source")),
                      0);
            ASSERT_EQ(runShell("sqlite3 " + shellQuote(copy) + " " + shellQuote(names) + " > " +
                               shellQuote(listed + "copy")),
                      0);
            // Compared whole, reported by the first line that differs.
            std::istringstream copied(slurp(listed + "copy"));
            std::istringstream original(slurp(listed + "source"));
            std::string a;
            std::string b;
            int lines = 0;
            while (std::getline(original, b)) {
                ++lines;
                ASSERT_TRUE(std::getline(copied, a)) << "missing: " << b;
                ASSERT_EQ(a, b);
            }
            EXPECT_FALSE(std::getline(copied, a)) << "extra: " << a;
            EXPECT_GT(lines, 0);
        }
    }
    ASSERT_EQ(runShell(dumpCommand + shellQuote(work.dir() + "/after.sql")), 0);
    EXPECT_TRUE(slurp(work.dir() + "/after.sql") == slurp(work.dir() + "/before.sql"));
}

// Two imports into one database, the second started at several moments of
// the first: they share the staging tables, so each either completes (one
// after the other) or is refused because of the other; never a mix of the
// two workbooks. The first runs at a terminal, where its progress shows
// which row it has reached.
TEST_F(CliImport, TwoImportsAtOnceTakeTurnsOrOneIsRefused) {
    struct Side {
        const char* tag;
        const char* station;
        int firstId;
        std::string file;
    };
    std::vector<Side> sides{{"a", "1", 30001, {}}, {"b", "2", 40001, {}}};
    for (Side& side : sides) {
        std::vector<std::vector<std::string>> rows{kMenuHeadings};
        for (int i = 0; i < 2000; ++i) {
            rows.push_back(dish(std::to_string(side.firstId + i)));
        }
        side.file = workbook(std::string(side.tag) + ".xls", rows);
    }
    const auto arguments = [&](const Side& side) {
        return std::vector<std::string>{"--store",      store.dir() + "/store",
                                        "--field-maps", work.dir() + "/maps",
                                        "import",       "--database",
                                        "pos_demo",     "--dataset",
                                        "Menu",         "--station",
                                        side.station,   "--input",
                                        side.file};
    };
    const std::string database = store.dir() + "/store/pos_demo.db";
    struct Moment {
        const char* name;
        bool atOnce;
        int percent;  // the first's progress; -1: the first holds the lock
    };
    const Moment moments[] = {
        {"at once", true, 0},
        {"while the first holds the lock", false, -1},
        {"in the first's insertion pass", false, 40},
        {"in the first's merge", false, 70},
    };
    for (const Moment& moment : moments) {
        SCOPED_TRACE(std::string("second import ") + moment.name);
        ASSERT_EQ(
            runShell("sqlite3 " + shellQuote(database) + " 'delete from menu where ID > 30000'"),
            0);
        // The moment is seen where the first import shows its progress; the
        // first's end wakes the wait too.
        std::mutex mutex;
        std::condition_variable changed;
        bool wasReached = moment.atOnce;
        bool firstEnded = false;
        const auto mark = [&](bool& flag) {
            const std::lock_guard<std::mutex> hold(mutex);
            flag = true;
            changed.notify_all();
        };
        pos::testing::ProgramRun first;
        std::thread firstImport([&] {
            first = pos::testing::runAtTerminal(
                cliTerminalCommandLine(arguments(sides[0]), work.dir(), "a"),
                [&](const std::string& text) {
                    if (moment.percent < 0 ? importLockHeld(database)
                                           : shownPercent(text) >= moment.percent) {
                        mark(wasReached);
                    }
                    return 0;
                });
            mark(firstEnded);
        });
        {
            std::unique_lock<std::mutex> hold(mutex);
            changed.wait(hold, [&] { return wasReached || firstEnded; });
        }
        const int second = runShell(cliCommandLine(arguments(sides[1]), work.dir(), {}, "b"));
        firstImport.join();
        EXPECT_TRUE(wasReached) << first.out;
        const std::pair<int, std::string> outcomes[] = {{first.exitCode, first.out},
                                                        {second, slurp(work.dir() + "/b.err")}};
        int completed = 0;
        for (std::size_t i = 0; i < sides.size(); ++i) {
            const Side& side = sides[i];
            const auto& [code, err] = outcomes[i];
            const std::string range = " from menu where ID between " +
                                      std::to_string(side.firstId) + " and " +
                                      std::to_string(side.firstId + 1999);
            const std::string stored = scalar("select count(*)" + range);
            if (code == 0) {
                ++completed;
                EXPECT_EQ(stored, "2000") << side.tag;
                EXPECT_EQ(scalar("select count(*)" + range + " and StationID = " + side.station),
                          "2000")
                    << side.tag;
            } else {
                EXPECT_EQ(code, 1) << side.tag;
                EXPECT_NE(err.find("正在被另一个导入使用"), std::string::npos) << side.tag << err;
                EXPECT_EQ(stored, "0") << side.tag;
            }
        }
        EXPECT_GE(completed, 1);
        EXPECT_EQ(scalar("select count(*) from sqlite_master where name like 'TEMP%'"), "0");
    }
}

// A disk that fills up during an import, at several sizes: whichever step
// meets it, the message names the disk and blames no row, the dishes are
// all there or none, success is never claimed with a staging table left,
// and the next import removes what was left.
TEST_F(CliImport, FullDiskIsNamedAndNothingIsHalfDone) {
    const std::string path = manyDishes();
    const std::string database = store.dir() + "/store/pos_demo.db";
    const std::string saved = work.dir() + "/saved.db";
    ASSERT_EQ(runShell("cp " + shellQuote(database) + " " + shellQuote(saved)), 0);
    const std::vector<std::string> args{"--store",
                                        store.dir() + "/store",
                                        "--field-maps",
                                        work.dir() + "/maps",
                                        "import",
                                        "--database",
                                        "pos_demo",
                                        "--dataset",
                                        "Menu",
                                        "--station",
                                        "1",
                                        "--input",
                                        path};
    const char* const kLeftovers = "select count(*) from sqlite_master where name like 'TEMP%'";
    for (const char* limit : {"200", "400", "800"}) {
        SCOPED_TRACE(std::string("files limited to ") + limit + " KB");
        ASSERT_EQ(runShell("cp " + shellQuote(saved) + " " + shellQuote(database) + " && rm -f " +
                           shellQuote(database) + "-wal " + shellQuote(database) + "-shm"),
                  0);
        // Beyond the limit a write fails as on a full disk (the signal that
        // would end the program is ignored).
        const int code =
            runShell("bash -c " + shellQuote("trap '' XFSZ; ulimit -f " + std::string(limit) +
                                             "; " + cliCommandLine(args, work.dir())));
        const std::string err = slurp(work.dir() + "/cli.err");
        const std::string dishes = scalar("select count(*) from menu where ID >= 50000");
        EXPECT_TRUE(dishes == "0" || dishes == "5000") << dishes;
        EXPECT_EQ(err.find("数据无法插入"), std::string::npos) << err;
        EXPECT_EQ(err.find("数据插入失败"), std::string::npos) << err;
        if (code == 0) {
            EXPECT_EQ(dishes, "5000");
            EXPECT_EQ(scalar(kLeftovers), "0");
        } else {
            EXPECT_EQ(code, 1);
            EXPECT_NE(err.find("磁盘"), std::string::npos) << err;
            if (scalar(kLeftovers) != "0") {
                EXPECT_NE(err.find("下次导入这个数据库时会自动删除"), std::string::npos) << err;
            }
        }
        CliRun again = import("Menu", path);
        EXPECT_EQ(again.exitCode, 0) << again.err;
        EXPECT_EQ(scalar("select count(*) from menu where ID >= 50000"), "5000");
        EXPECT_EQ(scalar(kLeftovers), "0");
    }
}

// Ctrl-C or SIGTERM at several moments of an import and an export, each
// sent once the progress on the terminal shows the moment reached: the
// transfer stops with the signal's exit code and says so, no dish of the
// stopped import is kept, nothing is left behind, and the import can be
// run again.
TEST_F(CliImport, StopSignalUndoesThePassAndCleansUp) {
    const std::string path = manyDishes();
    const std::string output = work.dir() + "/out.xls";
    const std::vector<std::string> common{"--store", store.dir() + "/store", "--field-maps",
                                          work.dir() + "/maps"};
    std::vector<std::string> importArgs = common;
    importArgs.insert(importArgs.end(), {"import", "--database", "pos_demo", "--dataset", "Menu",
                                         "--station", "1", "--input", path});
    std::vector<std::string> exportArgs = common;
    exportArgs.insert(exportArgs.end(), {"export", "--database", "pos_demo", "--dataset", "Menu",
                                         "--output", output, "--overwrite"});
    const char* const kLeftovers =
        "select count(*) from sqlite_master where name like 'TEMP%' or name like 'VS%'";
    const char* const kNewDishes = "select count(*) from menu where ID >= 50000";
    struct Case {
        const std::vector<std::string>* args;
        int signal;
        const char* moment;
        int percent;         // shown on the terminal before the signal goes
        const char* dishes;  // new dishes stored before the transfer
    };
    // The export runs last, over the dishes of the import that completes.
    const Case cases[] = {
        {&importArgs, SIGINT, "early in the staging pass", 10, "0"},
        {&importArgs, SIGINT, "late in the staging pass", 45, "0"},
        {&importArgs, SIGTERM, "in the merge's dish pass", 95, "0"},
        {nullptr, 0, "the import run again completes", 0, "0"},
        {&exportArgs, SIGTERM, "in the export's rows", 30, "5000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.moment);
        ASSERT_EQ(scalar(kNewDishes), c.dishes);
        if (c.args == nullptr) {
            CliRun again = import("Menu", path);
            EXPECT_EQ(again.exitCode, 0) << again.err;
            EXPECT_EQ(scalar(kNewDishes), "5000");
            continue;
        }
        bool reached = false;
        const pos::testing::ProgramRun run = pos::testing::runAtTerminal(
            cliTerminalCommandLine(*c.args, work.dir()), [&](const std::string& shown) {
                reached = shownPercent(shown) >= c.percent;
                return reached ? c.signal : 0;
            });
        ASSERT_TRUE(reached) << run.out;
        EXPECT_EQ(run.exitCode, 128 + c.signal) << run.out;
        EXPECT_NE(run.out.find("用户中断了操作"), std::string::npos) << run.out;
        EXPECT_EQ(scalar(kNewDishes), c.dishes);
        EXPECT_EQ(scalar(kLeftovers), "0");
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

// CSV files as other programs write them, imported: the headings on the
// first line, a semicolon or a tab as the separator, GBK, quoted fields with
// separators, quotes and line breaks inside; files that are no CSV text are
// refused with what to do, and nothing is stored.
TEST_F(CliImport, CsvFilesAsOtherProgramsWriteThem) {
    const auto gbk = [](const std::string& utf8) {
        iconv_t cd = ::iconv_open("GB18030", "UTF-8");
        std::string out(utf8.size() * 2, '\0');
        char* in = const_cast<char*>(utf8.data());
        std::size_t inLeft = utf8.size();
        char* to = out.data();
        std::size_t outLeft = out.size();
        EXPECT_NE(::iconv(cd, &in, &inLeft, &to, &outLeft), static_cast<std::size_t>(-1));
        ::iconv_close(cd);
        out.resize(out.size() - outLeft);
        return out;
    };
    struct Case {
        const char* name;
        std::string bytes;
        int exitCode;
        std::string tableCode;  // the table the file adds, or the message of a refusal
        std::string tableName;
    };
    const Case cases[] = {
        {"headings on the first line", "厅名,桌号,桌名\n大厅,901,窗边\n", 0, "901", "窗边"},
        {"GBK, semicolons, CR LF, a semicolon in quotes",
         gbk("厅名;桌号;桌名\r\n大厅;902;\"靠窗;雅座\"\r\n"), 0, "902", "靠窗;雅座"},
        {"tabs, the first line empty, quotes and a line break in quotes",
         "\n厅名\t桌号\t桌名\n大厅\t903\t\"A \"\"角\"\"\n二号\"\n", 0, "903", "A \"角\"\n二号"},
        {"a byte-order mark, commas in quotes, no line end at the end",
         "\xEF\xBB\xBF厅名,桌号,桌名\r\n大厅,904,\"甲,乙,丙\"", 0, "904", "甲,乙,丙"},
        {"binary", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), 1,
         "它含有空字节，不是文本文件，也就不是CSV文件。请选择", ""},
        {"UTF-16", std::string("\xFF\xFE\x53\x53\x0D\x54", 6), 1, "请在电子表格程序中把它另存为",
         ""},
        {"neither UTF-8 nor GBK", "厅名,桌号,桌名\n大厅,905,\x80\xFF\n", 1,
         "既不是UTF-8编码也不是GBK编码的文本", ""},
        {"a quote left open", "厅名,桌号,桌名\n大厅,906,\"窗边\n大厅,907,门口\n", 1,
         "第2行有一个以引号开始的字段，直到文件末尾都没有配对的引号", ""},
    };
    const std::string halls = scalar("select count(*) from Hall");
    int added = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = work.dir() + "/other.csv";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
        CliRun r = import("HallTable", path);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        if (c.exitCode != 0) {
            EXPECT_NE(r.err.find(c.tableCode), std::string::npos) << r.err;
            continue;
        }
        ++added;
        EXPECT_EQ(r.out.rfind("数据导入成功！\n已导入1行", 0), 0u) << r.out;
        EXPECT_EQ(scalar("select Name from tables where Code = '" + c.tableCode + "'"),
                  c.tableName);
    }
    EXPECT_EQ(scalar("select count(*) from tables where Code >= '900'"), std::to_string(added));
    EXPECT_EQ(scalar("select count(*) from Hall"), halls);  // "大厅" is found, never added
}

// From a workbook of today's format and from one saved by Excel 95 in code
// page 936.
TEST_F(CliImport, NewDishesWithTheStationNumber) {
    const std::string excel95 = work.dir() + "/excel95.xls";
    pos::testing::writeExcel95Workbook(excel95, {kMenuHeadings, dish("9003"), dish("9004")});
    const struct {
        std::string path;
        const char* ids;
        const char* stored;
    } cases[] = {
        {workbook("new.xls", {kMenuHeadings, dish("9001"), dish("9002")}), "9001, 9002",
         "7|新菜9001|18|6,7|新菜9002|18|6"},
        {excel95, "9003, 9004", "7|新菜9003|18|6,7|新菜9004|18|6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        CliRun r = import("菜品信息", c.path, "0007");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "数据导入成功！\n已导入2行。\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(scalar(std::string("select group_concat(StationID || '|' || Name || '|' || "
                                     "Price1 || '|' || Cost1) from menu where ID in (") +
                         c.ids + ")"),
                  c.stored);
    }
}

TEST_F(CliImport, RefusalsCarryTheWindowsMessages) {
    TempStore extra;
    const std::string good = workbook("good.xls", {kMenuHeadings, dish("9001")});
    const std::string headingOnly = workbook("heading.xls", {kMenuHeadings});
    const std::string broken = work.dir() + "/broken.xls";
    std::ofstream(broken) << "not a workbook";
    // A reader of a pipe would wait for a writer forever.
    const std::string pipe = work.dir() + "/pipe.xls";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    const std::string badRows =
        workbook("bad.xls", {kMenuHeadings, dish("9001"), dish("9002", "贵"), dish("x")});
    const std::string tables =
        workbook("tables.xls", {{"厅名", "桌号", "桌名"}, {"大厅", "901", "新桌"}});
    // A database without the dishes' tables, made by the program's own store.
    ASSERT_EQ(cli({"demo", "other"}).exitCode, 0);
    {
        sqlite3* db = nullptr;
        sqlite3_open((store.dir() + "/store/other.db").c_str(), &db);
        sqlite3_exec(db, "drop table STCA", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }

    struct Case {
        const char* name;
        std::string input;
        std::string station;
        std::string database;
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {"missing file", work.dir() + "/none.xls", "1", "pos_demo", 1,
         "指定路径的文件不存在，请重新选择！\n找不到文件" + work.dir() + "/none.xls\n"},
        {"unreadable workbook", broken, "1", "pos_demo", 1, "不是工作簿（.xls、.xlsx"},
        {"a pipe, not a file", pipe, "1", "pos_demo", 1,
         "指定路径的文件不存在，请重新选择！\n" + pipe + "不是普通文件"},
        {"heading row only", headingOnly, "1", "pos_demo", 1,
         "您选择的文件内数据记录不全，无法导入数据！\n"},
        {"tables missing", good, "1", "other", 1,
         "您选择的'other'数据库的'菜品信息'相关表不全，请检查数据库！\n"},
        {"rows of the wrong type", badRows, "1", "pos_demo", 1,
         "第4,5行数据无法插入,有可能这几行数据有空值，或者数据类型不正确，请检查后再导入！\n"},
        {"another dataset's workbook", tables, "1", "pos_demo", 1,
         "不可以进行数据导入，请检查对应字段是否一致！\n这个工作簿看起来是厅桌信息，请用--dataset "
         "HallTable选择厅桌信息\n"},
    };
    for (const Case& c : cases) {
        CliRun r = import("Menu", c.input, c.station, c.database);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.name;
    }
    EXPECT_EQ(scalar("select count(*) from menu where ID >= 9000"), "0");
}

// The station number as the window's field takes it, digits only and at most
// four, wherever it is given; only new dishes receive it, so only dishes need
// it.
TEST_F(CliImport, StationNumberAsTheWindowTakesIt) {
    const std::string dishes = workbook("dishes.xls", {kMenuHeadings, dish("9001")});
    const std::string tables =
        workbook("tables.xls", {{"厅名", "桌号", "桌名"}, {"大厅", "901", "新桌"}});
    const std::string notes = workbook("notes.xls", {{"注释类别", "注释名称"}, {"口味", "少盐"}});
    struct Case {
        const char* dataset;
        std::string input;
        const char* station;  // nullptr: no --station
        int exitCode;
        const char* message;  // on stderr
    };
    const Case cases[] = {
        {"Menu", dishes, "-1", 2, "站点号“-1”无效：站点号只能由数字0至9组成，最多4位"},
        {"Menu", dishes, "99999", 2, "站点号“99999”无效"},
        {"Menu", dishes, "7a", 2, "站点号“7a”无效"},
        {"Menu", dishes, " ", 2, "必须输入站点号！"},
        {"Menu", dishes, nullptr, 2, "导入菜品信息时必须用--station给出站点号"},
        {"HallTable", tables, "-1", 2, "站点号“-1”无效"},
        {"HallTable", tables, nullptr, 0, ""},
        {"MenuAnnotate", notes, nullptr, 0, ""},
        {"Menu", dishes, "9999", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dataset) + " --station " + (c.station ? c.station : "none"));
        std::vector<std::string> args{"import",  "--database", "pos_demo", "--dataset",
                                      c.dataset, "--input",    c.input};
        if (c.station != nullptr) {
            args.insert(args.end(), {"--station", c.station});
        }
        CliRun r = cli(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(scalar("select StationID from menu where ID = 9001"), "9999");
    EXPECT_EQ(scalar("select Name from tables where ID = 901"), "新桌");
    EXPECT_EQ(scalar("select count(*) from Annotate where Name = '少盐'"), "1");
}

// A text longer than its column is refused as the server refuses it, before
// anything is stored; one stored before the store checked lengths, too long
// for a cell, stops the export with the row and the column named.
TEST_F(CliImport, TextTooLongForItsColumnOrACellIsNamed) {
    std::vector<std::string> longName = dish("9001");
    longName[1] = std::string(50, 'x') + "长";
    const std::string path = workbook("long.xls", {kMenuHeadings, dish("9002"), longName});
    CliRun imported = import("Menu", path);
    EXPECT_EQ(imported.exitCode, 1);
    EXPECT_NE(imported.err.find("第4行数据无法插入"), std::string::npos) << imported.err;
    EXPECT_NE(imported.err.find("\n第4行“菜品名称”列：数据库“pos_demo”：文本超出列的长度：列"
                                "Name最多50个字符（"),
              std::string::npos)
        << imported.err;
    EXPECT_EQ(scalar("select count(*) from menu where ID >= 9000"), "0");

    ASSERT_EQ(runShell("sqlite3 " + shellQuote(store.dir() + "/store/pos_demo.db") +
                       " \"update menu set Name = printf('%.*c', 40000, 'x')\""),
              0);
    CliRun exported = cli({"export", "--database", "pos_demo", "--dataset", "Menu", "--output",
                           work.dir() + "/long-out.xlsx"});
    EXPECT_EQ(exported.exitCode, 1);
    EXPECT_EQ(
        exported.err.rfind("数据导出失败：第3行（第1条记录）“菜品名称”列的文本有40000个字符", 0),
        0u)
        << exported.err;
    EXPECT_EQ(exported.err.find("请检查保存路径"), std::string::npos) << exported.err;
}

TEST_F(CliImport, RowsRefusedByTheMergeGiveExitOne) {
    // The database refuses one dish: the merge goes on and the summary names it.
    refuseDish(store.dir() + "/store/pos_demo.db", "9002");
    const std::string path = workbook("two.xls", {kMenuHeadings, dish("9001"), dish("9002")});
    CliRun r = import("Menu", path);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("数据导入已结束，但有1行未能导入", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("9002"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("dish 9002 is locked"), std::string::npos) << r.err;
    EXPECT_EQ(scalar("select count(*) from menu where ID = 9001"), "1");
}

// A dry run changes nothing at all, and tells what the import then does: the
// reference rows with the numbers they get, the counts, and each row left out
// with its worksheet row.
TEST_F(CliImport, DryRunChangesNothingAndForetellsTheImport) {
    const std::string database = store.dir() + "/store/pos_demo.db";
    refuseDish(database, "9002");
    const std::string path =
        workbook("dry.xls", {kMenuHeadings,
                             {"9001", "新菜", "XC", "新类别", "新统计", "新单位", "18", "6", "16"},
                             dish("9002"),
                             dish("9001"),
                             dish("1001"),
                             dish("9003")});
    const std::string dump = "sqlite3 " + shellQuote(database) + " .dump > ";
    ASSERT_EQ(runShell(dump + shellQuote(work.dir() + "/before.sql")), 0);
    CliRun dry = cli({"import", "--database", "pos_demo", "--dataset", "Menu", "--station", "1",
                      "--input", path, "--dry-run"});
    ASSERT_EQ(runShell(dump + shellQuote(work.dir() + "/after.sql")), 0);
    EXPECT_TRUE(slurp(work.dir() + "/after.sql") == slurp(work.dir() + "/before.sql"));
    EXPECT_EQ(dry.exitCode, 1);
    EXPECT_EQ(dry.err.rfind("试运行：数据库中的数据没有改变。", 0), 0u) << dry.err;

    CliRun real = import("Menu", path);
    EXPECT_EQ(real.exitCode, 1);
    EXPECT_NE(real.err.find("已导入2行；1行已存在，未重复导入；1行未能导入"), std::string::npos)
        << real.err;
    const std::string foretold[] = {
        "\n将新建菜品类别“新类别”，编号" + scalar("select ID from Category where Name = '新类别'"),
        "\n将新建统计类别“新统计”，编号" + scalar("select SCID from STCA where SCNA = '新统计'"),
        "\n将新建单位“新单位”，编号" + scalar("select ID from Unit where Name = '新单位'"),
        std::string("\n将导入2行；1行已存在，不会重复导入；1行与本文件中前面的行重复，不会导入；") +
            "1行会被数据库拒绝。\n已存在的1行中有1行与工作簿不同，不会更新（菜品编码：1001）",
        "\n不会导入的行（2行）：",
        std::string("\n第4行，菜品编码“9002”：数据库“pos_demo”：") +
            "数据库的约束或触发器拒绝了这项修改（dish 9002 is locked）",
        "\n第5行，菜品编码“9001”：在本文件中重复（与第3行相同），未导入",
        "\n导入会以有行未能导入结束。"};
    for (const std::string& line : foretold) {
        EXPECT_NE(dry.err.find(line), std::string::npos) << line << "\n" << dry.err;
    }
    EXPECT_EQ(scalar("select group_concat(ID) from menu where ID in (9001, 9002, 9003)"),
              "9001,9003");
}

}  // namespace
