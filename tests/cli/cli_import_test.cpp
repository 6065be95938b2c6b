// "pos-transfer-cli import" as a user runs it: the built binary on a store
// made by "demo", workbooks written by xlwt (or by the program's own export
// for the round trips), the pre-check messages and the exit codes.
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

#include "cli/cli_run.h"
#include "support/TempDir.h"
#include "support/Workbooks.h"
#include "transfer/export_fixture.h"
#include "workbook/WorkbookFormats.h"

namespace {

using pos::testing::TempStore;

using namespace pos::clitest;

// A JSON array of arrays of strings, for the workbook writer below.
std::string json(const std::vector<std::vector<std::string>>& rows) {
    std::string out = "[";
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out += r ? ",[" : "[";
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            out += c ? ",\"" : "\"";
            for (char ch : rows[r][c]) {
                out += ch == '"' || ch == '\\' ? std::string("\\") + ch : std::string(1, ch);
            }
            out += "\"";
        }
        out += "]";
    }
    return out + "]";
}

class CliImport : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(cli({"demo", "pos_demo"}).exitCode, 0); }

    CliRun cli(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--store", store.dir() + "/store", "--field-maps", work.dir() + "/maps"});
        return runCli(args, work.dir());
    }

    CliRun import(const std::string& dataset, const std::string& input,
                  const std::string& station = "1", const std::string& database = "pos_demo") {
        return cli({"import", "--database", database, "--dataset", dataset, "--station", station,
                    "--input", input});
    }

    // Writes `rows` with xlwt from worksheet row `firstRow` (1-based); every
    // value is a text cell, an empty one is left out.
    // 5000 new dishes, codes 50000 to 54999, in many.xls.
    std::string manyDishes();

    std::string workbook(const std::string& name, const std::vector<std::vector<std::string>>& rows,
                         int firstRow = 2) {
        const std::string path = work.dir() + "/" + name;
        const std::string script = work.dir() + "/write.py";
        std::ofstream(script) << R"PY(
import sys, json, xlwt
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("Sheet1")
for r, row in enumerate(json.load(open(sys.argv[2], encoding="utf-8"))):
    for c, value in enumerate(row):
        if value != "":
            sheet.write(int(sys.argv[3]) - 1 + r, c, value)
book.save(sys.argv[1])
)PY";
        const std::string data = path + ".json";
        std::ofstream(data) << json(rows);
        EXPECT_EQ(runShell("/usr/bin/python3 " + shellQuote(script) + " " + shellQuote(path) + " " +
                           shellQuote(data) + " " + std::to_string(firstRow)),
                  0);
        return path;
    }

    std::string scalar(const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open_v2((store.dir() + "/store/pos_demo.db").c_str(), &db, SQLITE_OPEN_READONLY,
                        nullptr);
        sqlite3_stmt* st = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0)) {
            value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        return value;
    }

    TempStore store;
    TempStore work;
};

const std::vector<std::string> kMenuHeadings =
    pos::testing::defaultHeadings(pos::datasets::kMenuDataset);

std::vector<std::string> dish(const std::string& id, const std::string& price1 = "18") {
    return {id, "新菜" + id, "XC", "热菜", "菜品", "份", price1, "6", "16"};
}

std::string CliImport::manyDishes() {
    std::vector<std::vector<std::string>> rows{kMenuHeadings};
    for (int i = 0; i < 5000; ++i) {
        rows.push_back(dish(std::to_string(50000 + i)));
    }
    return workbook("many.xls", rows);
}

// Every table's row count, so that a round trip shows nothing added: no row
// duplicated and no reference row (category, unit, statistics class, hall,
// annotation type) created.
const char* const kCounts =
    "select (select count(*) from menu) || '/' || (select count(*) from tables) || '/' || "
    "(select count(*) from Annotate) || '/' || (select count(*) from Category) || '/' || "
    "(select count(*) from Unit) || '/' || (select count(*) from STCA) || '/' || "
    "(select count(*) from Hall) || '/' || (select count(*) from AnnotateType)";

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

TEST_F(CliImport, WorkbookSavedByLibreOfficeImports) {
    // Exported, converted by LibreOffice, and imported after two dishes were
    // deleted: those two come back as they were, the others are found.
    struct Case {
        const char* exported;
        const char* saved;  // the format LibreOffice saves
    };
    const Case cases[] = {{"xls", "xlsx"}, {"xlsx", "ods"}};
    const char* const kDish =
        "select group_concat(ID || '|' || Name || '|' || FirstLetter || '|' || CategoryID || '|' "
        "|| SCSN || '|' || Unit1 || '|' || Price1 || '|' || Cost1 || '|' || VPrice1, ';') from "
        "(select * from menu order by ID limit 2)";
    const std::string twoDishes = scalar(kDish);
    ASSERT_FALSE(twoDishes.empty());
    const std::string counts = scalar(kCounts);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.exported) + " saved as " + c.saved);
        const std::string folder = work.dir() + "/" + c.saved;
        std::filesystem::create_directory(folder);
        const std::string exported = folder + "/dishes." + c.exported;
        ASSERT_EQ(
            cli({"export", "--database", "pos_demo", "--dataset", "Menu", "--output", exported})
                .exitCode,
            0);
        const std::string profile = "file://" + work.dir() + "/lo-profile";
        ASSERT_EQ(
            runShell("cd " + shellQuote(folder) + " && /usr/bin/soffice " +
                     shellQuote("-env:UserInstallation=" + profile) + " --headless --convert-to " +
                     c.saved + " dishes." + c.exported + " --outdir saved >/dev/null 2>&1"),
            0);
        const std::string saved = folder + "/saved/dishes." + c.saved;
        ASSERT_EQ(slurp(saved).substr(0, 2), "PK");  // a zip package, not the export renamed
        if (std::string(c.saved) == "xlsx") {
            // LibreOffice took the dish code and the prices as numbers, the
            // names as text.
            EXPECT_EQ(runShell("/usr/bin/python3 -c " +
                               shellQuote(
                                   "import sys, openpyxl\n"
                                   "sheet = openpyxl.load_workbook(sys.argv[1]).worksheets[0]\n"
                                   "kinds = ''.join(sheet.cell(row=3, column=c).data_type\n"
                                   "                for c in range(1, 10))\n"
                                   "sys.exit(0 if kinds == 'nsssssnnn' else 'kinds: ' + kinds)\n") +
                               " " + shellQuote(saved)),
                      0);
        }
        {
            sqlite3* db = nullptr;
            sqlite3_open((store.dir() + "/store/pos_demo.db").c_str(), &db);
            ASSERT_EQ(sqlite3_exec(db,
                                   "delete from menu where ID in (select ID from menu order by "
                                   "ID limit 2)",
                                   nullptr, nullptr, nullptr),
                      SQLITE_OK);
            sqlite3_close(db);
        }

        CliRun imported = import("Menu", saved);
        EXPECT_EQ(imported.exitCode, 0) << imported.err;
        EXPECT_EQ(imported.out.rfind("数据导入成功！\n", 0), 0u) << imported.out;
        EXPECT_EQ(imported.err, "");
        EXPECT_EQ(scalar(kDish), twoDishes);
        EXPECT_EQ(scalar(kCounts), counts);
    }
}

// CSV files saved by LibreOffice from an export, in UTF-8 (with and without
// the byte-order mark that other spreadsheet programs put first; LibreOffice
// 7.4 writes none) and in GBK: the dishes deleted after the export come back
// as they were, the others are found.
TEST_F(CliImport, CsvSavedByLibreOfficeImports) {
    const std::string database = store.dir() + "/store/pos_demo.db";
    ASSERT_EQ(runShell("sqlite3 " + shellQuote(database) + " " +
                       shellQuote("update menu set Name = '拍黄瓜, 蒜泥', Price1 = 12.34, "
                                  "Cost1 = 0.1 where ID = 1001;")),
              0);
    ASSERT_EQ(cli({"export", "--database", "pos_demo", "--dataset", "Menu", "--output",
                   work.dir() + "/dishes.xlsx"})
                  .exitCode,
              0);
    const std::string profile = "file://" + work.dir() + "/lo-profile";
    // 76 is LibreOffice's number for UTF-8, 85 for GBK.
    for (const char* encoding : {"76", "85"}) {
        ASSERT_EQ(
            runShell("cd " + shellQuote(work.dir()) + " && mkdir -p " + encoding +
                     " && /usr/bin/soffice " + shellQuote("-env:UserInstallation=" + profile) +
                     " --headless --convert-to " +
                     shellQuote(std::string("csv:Text - txt - csv (StarCalc):44,34,") + encoding) +
                     " --outdir " + encoding + " dishes.xlsx >/dev/null 2>&1"),
            0);
    }
    const std::string utf8 = slurp(work.dir() + "/76/dishes.csv");
    const std::string gbk = slurp(work.dir() + "/85/dishes.csv");
    // Both spell the first dish's name in their own encoding, quoted for its comma.
    ASSERT_NE(utf8.find("\"拍黄瓜, 蒜泥\""), std::string::npos) << utf8.substr(0, 300);
    ASSERT_NE(gbk.find("\"\xC5\xC4\xBB\xC6\xB9\xCF, \xCB\xE2\xC4\xE0\""), std::string::npos);
    std::ofstream(work.dir() + "/bom.csv") << "\xEF\xBB\xBF" << utf8;

    const char* const kDish =
        "select group_concat(ID || '|' || Name || '|' || FirstLetter || '|' || CategoryID || '|' "
        "|| SCSN || '|' || Unit1 || '|' || Price1 || '|' || Cost1 || '|' || VPrice1, ';') from "
        "(select * from menu order by ID limit 2)";
    const std::string twoDishes = scalar(kDish);
    const std::string counts = scalar(kCounts);
    const std::pair<const char*, std::string> files[] = {
        {"UTF-8", work.dir() + "/76/dishes.csv"},
        {"UTF-8 with a byte-order mark", work.dir() + "/bom.csv"},
        {"GBK", work.dir() + "/85/dishes.csv"},
    };
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        ASSERT_EQ(runShell("sqlite3 " + shellQuote(database) + " " +
                           shellQuote("delete from menu where ID in (select ID from menu order "
                                      "by ID limit 2)")),
                  0);
        CliRun imported = import("Menu", file);
        EXPECT_EQ(imported.exitCode, 0) << imported.err;
        EXPECT_EQ(imported.out.rfind("数据导入成功！\n已导入2行；", 0), 0u) << imported.out;
        EXPECT_EQ(imported.err, "");
        EXPECT_EQ(scalar(kDish), twoDishes);
        EXPECT_EQ(scalar(kCounts), counts);
    }
}

// Our CSV exports opened by LibreOffice, told to keep quoted fields as text
// (as a user ticks it in its import dialog), and saved as .xlsx: the first
// row empty, the headings in the second, Chinese names as text, codes and
// prices as numbers with their value, a table number with leading zeros as
// the text it is.
TEST_F(CliImport, CsvWeWriteReadByLibreOffice) {
    const std::string database = store.dir() + "/store/pos_demo.db";
    ASSERT_EQ(runShell("sqlite3 " + shellQuote(database) + " " +
                       shellQuote("update tables set Code = '007' where ID = 101;"
                                  "update menu set Price1 = 12.34, Cost1 = 0.1 where ID = 1001;")),
              0);
    struct Case {
        const char* dataset;
        std::vector<std::string> headings;
        std::vector<std::string> firstRecord;
        std::string kinds;  // of the first record: 'n' a number cell, 's' a text cell
    };
    const Case cases[] = {
        {"Menu",
         kMenuHeadings,
         {"1001", "拍黄瓜", "PHG", "凉菜", "菜品", "份", "12.34", "0.1", "11", "", "0", "0", "0",
          "", "0", "0", "0"},
         "nsssssnnn nnn nnn"},
        {"HallTable", {"厅名", "桌号", "桌名"}, {"大厅", "007", "A01"}, "sss"},
    };
    const std::string profile = "file://" + work.dir() + "/lo-profile";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataset);
        const std::string csv = work.dir() + "/" + c.dataset + ".csv";
        ASSERT_EQ(cli({"export", "--database", "pos_demo", "--dataset", c.dataset, "--output", csv})
                      .exitCode,
                  0);
        ASSERT_EQ(runShell("cd " + shellQuote(work.dir()) + " && /usr/bin/soffice " +
                           shellQuote("-env:UserInstallation=" + profile) + " --headless " +
                           shellQuote("--infilter=Text - txt - csv (StarCalc):44,34,76,1,,0,true") +
                           " --convert-to xlsx " + shellQuote(csv) + " >/dev/null 2>&1"),
                  0);
        const pos::exporttest::SheetReadBack sheet =
            pos::exporttest::readFirstSheet(work.dir() + "/" + c.dataset + ".xlsx");
        ASSERT_GE(sheet.rows.size(), 3u);
        EXPECT_TRUE(sheet.rows[0].empty());
        EXPECT_EQ(sheet.rows[1], c.headings);
        std::vector<std::string> record = c.firstRecord;
        while (!record.empty() && record.back().empty()) {
            record.pop_back();
        }
        EXPECT_EQ(sheet.rows[2], record);
        EXPECT_EQ(sheet.kinds[2].substr(0, c.kinds.size()), c.kinds);
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

// A dish the database refuses, through a trigger as a locked record would.
void refuseDish(const std::string& database, const std::string& id,
                const std::string& event = "insert") {
    sqlite3* db = nullptr;
    sqlite3_open(database.c_str(), &db);
    const std::string trigger = "create trigger dish_" + id + "_locked before " + event +
                                " on menu when new.ID = " + id +
                                " begin select raise(abort, 'dish " + id + " is locked'); end";
    sqlite3_exec(db, trigger.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
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

// The weekly round: export the dishes, change prices and a name in the
// workbook, bring them back with --update-existing. The database then holds
// exactly what the same updates made by hand give; an unchanged export
// changes nothing; an update the database refuses is named, with exit 1.
TEST_F(CliImport, UpdateExistingWritesOnlyTheChangedCells) {
    const std::string database = store.dir() + "/store/pos_demo.db";
    const auto dump = [&](const std::string& file) {
        const std::string out = work.dir() + "/dump.sql";
        EXPECT_EQ(runShell("sqlite3 " + shellQuote(file) + " .dump > " + shellQuote(out)), 0);
        return slurp(out);
    };
    const auto importUpdating = [&](const std::string& input) {
        return cli({"import", "--database", "pos_demo", "--dataset", "Menu", "--station", "7",
                    "--input", input, "--update-existing"});
    };
    const std::string exported = work.dir() + "/menu.xls";
    const auto exportMenu = [&] {
        CliRun r = cli({"export", "--database", "pos_demo", "--dataset", "Menu", "--output",
                        exported, "--overwrite"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    };
    exportMenu();  // writes the default field maps too
    const std::string before = dump(database);

    // An unchanged export changes nothing, also when the field map puts the
    // cost before the price: each heading carries its own column out and back.
    const std::string mapPath = work.dir() + "/maps/Menu.ini";
    const std::string defaultMap = slurp(mapPath);
    std::string costFirst = defaultMap;
    const std::string priceFirst = "7=Price1\r\n8=Cost1\r\n";
    ASSERT_NE(costFirst.find(priceFirst), std::string::npos);
    costFirst.replace(costFirst.find(priceFirst), priceFirst.size(), "7=Cost1\r\n8=Price1\r\n");
    for (const std::string& map : {costFirst, defaultMap}) {
        SCOPED_TRACE(map == defaultMap ? "default field map" : "cost before price");
        std::ofstream(mapPath, std::ios::binary) << map;
        exportMenu();
        CliRun same = importUpdating(exported);
        EXPECT_EQ(same.exitCode, 0) << same.err;
        EXPECT_NE(same.out.find("已导入0行；已更新0行；125行与数据库中相同"), std::string::npos)
            << same.out;
        EXPECT_TRUE(dump(database) == before);
    }

    // The export with cells changed by the dish code in column A (a number
    // cell), each "code:column:text" (column 0-based), the new values
    // written as text cells.
    const std::string edited = work.dir() + "/edited.xls";
    const std::string script = work.dir() + "/edit.py";
    std::ofstream(script) << R"PY(
import sys, xlrd, xlwt
sheet = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)
rows = [[sheet.cell_value(r, c) for c in range(sheet.ncols)] for r in range(sheet.nrows)]
for edit in sys.argv[3:]:
    code, column, text = edit.split(":", 2)
    [row] = [row for row in rows if row[0] == float(code)]
    row[int(column)] = text
book = xlwt.Workbook(encoding="utf-8")
out = book.add_sheet("Menu")
for r, row in enumerate(rows):
    for c, value in enumerate(row):
        if value != "":
            out.write(r, c, value)
book.save(sys.argv[2])
)PY";
    ASSERT_EQ(runShell("/usr/bin/python3 " + shellQuote(script) + " " + shellQuote(exported) + " " +
                       shellQuote(edited) +
                       " 1001:6:13 1002:6:17.5 1003:6:35 1004:1:口水鸡（大份） 1005:11:-3"),
              0);
    const std::string byHand = work.dir() + "/by-hand.db";
    ASSERT_EQ(runShell("sqlite3 " + shellQuote(database) + " " + shellQuote(".backup " + byHand)),
              0);
    ASSERT_EQ(runShell("sqlite3 " + shellQuote(byHand) + " " +
                       shellQuote("update menu set Price1 = 13 where ID = 1001;"
                                  "update menu set Price1 = 17.5 where ID = 1002;"
                                  "update menu set Price1 = 35 where ID = 1003;"
                                  "update menu set Name = '口水鸡（大份）' where ID = 1004;")),
              0);

    // A dry run lists exactly the four cells and writes none of them; dish
    // 1005's cost of -3 is 0 by the price rules, as stored.
    CliRun dry = cli({"import", "--database", "pos_demo", "--dataset", "Menu", "--station", "7",
                      "--input", edited, "--update-existing", "--dry-run"});
    EXPECT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_NE(dry.out.find("将更新4行；121行与数据库中相同，不会改动"), std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("\n将改动的单元格：\nID 1001 价格1: 12 → 13\nID 1002 价格1: 16 → "
                           "17.5\nID 1003 价格1: 32 → 35\nID 1004 菜品名称: 口水鸡 → "
                           "口水鸡（大份）\n"),
              std::string::npos)
        << dry.out;
    EXPECT_TRUE(dump(database) == before);

    CliRun changed = importUpdating(edited);
    EXPECT_EQ(changed.exitCode, 0) << changed.err;
    EXPECT_NE(changed.out.find("已更新4行（价格1 3行、菜品名称 1行）；121行与数据库中相同"),
              std::string::npos)
        << changed.out;
    EXPECT_TRUE(dump(database) == dump(byHand));

    // The first export again: the four cells go back, but the database
    // refuses dish 1001's update.
    refuseDish(database, "1001", "update");
    CliRun refused = importUpdating(exported);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("已更新3行"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("菜品编码“1001”：数据库“pos_demo”："), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("dish 1001 is locked"), std::string::npos) << refused.err;
    EXPECT_EQ(scalar("select Price1 || '/' || (select Price1 from menu where ID = 1002) "
                     "from menu where ID = 1001"),
              "13/16");
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

// The rows not imported come back in a workbook laid out as the input, with
// the reason in a last column; fixed, the file imports as it stands. When
// every row arrives, no file is written.
TEST_F(CliImport, RejectedRowsComeBackInAWorkbookThatImportsAgain) {
    refuseDish(store.dir() + "/store/pos_demo.db", "9102");
    const std::string path =
        workbook("in.xls", {kMenuHeadings, dish("9101"), dish("9102", "22.5"), dish("9101")});
    const std::string rejects = work.dir() + "/rejects.xlsx";
    CliRun r = cli({"import", "--database", "pos_demo", "--dataset", "Menu", "--station", "1",
                    "--input", path, "--rejects", rejects});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("未导入的2行已写入" + rejects), std::string::npos) << r.err;

    // Prints the sheet's rows, cells separated by "|"; with a row and a
    // value, first sets column A of that row.
    const std::string script = work.dir() + "/sheet.py";
    std::ofstream(script) << R"PY(
import sys, openpyxl
book = openpyxl.load_workbook(sys.argv[1])
sheet = book.worksheets[0]
if len(sys.argv) > 2:
    sheet.cell(int(sys.argv[2]), 1).value = sys.argv[3]
    book.save(sys.argv[1])
for row in sheet.iter_rows(min_row=1, max_row=sheet.max_row, values_only=True):
    print("|".join("" if v is None else str(v) for v in row))
)PY";
    const auto sheet = [&](const std::string& edit = {}) {
        EXPECT_EQ(runShell("/usr/bin/python3 " + shellQuote(script) + " " + shellQuote(rejects) +
                           " " + edit + " > " + shellQuote(work.dir() + "/sheet.txt")),
                  0);
        return slurp(work.dir() + "/sheet.txt");
    };
    std::string headings;
    for (const std::string& heading : kMenuHeadings) {
        headings += heading + "|";
    }
    const std::string blanks(9, '|');  // the eight columns the rows leave empty
    EXPECT_EQ(sheet(), std::string(kMenuHeadings.size(), '|') + "\n" + headings + "未导入原因\n" +
                           "9102|新菜9102|XC|热菜|菜品|份|22.5|6|16" + blanks +
                           "数据库“pos_demo”：数据库的约束或触发器拒绝了这项修改（dish 9102 is "
                           "locked）\n9101|新菜9101|XC|热菜|菜品|份|18|6|16" +
                           blanks + "在本文件中重复（与第3行相同），未导入\n");

    // The lock goes and the repeated row gets a code of its own.
    ASSERT_EQ(runShell("sqlite3 " + shellQuote(store.dir() + "/store/pos_demo.db") +
                       " 'drop trigger dish_9102_locked'"),
              0);
    sheet("4 9103");
    const std::string again = work.dir() + "/again.xls";
    CliRun fixed = cli({"import", "--database", "pos_demo", "--dataset", "Menu", "--station", "1",
                        "--input", rejects, "--rejects", again});
    EXPECT_EQ(fixed.exitCode, 0) << fixed.err;
    EXPECT_NE(fixed.out.find("\n所有行都已进入数据库，没有写出未导入的行。"), std::string::npos)
        << fixed.out;
    EXPECT_FALSE(std::filesystem::exists(again));
    EXPECT_EQ(scalar("select group_concat(ID || ':' || Price1) from menu where ID > 9100"),
              "9101:18,9102:22.5,9103:18");
}

}  // namespace
