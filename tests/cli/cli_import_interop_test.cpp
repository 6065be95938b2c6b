// "pos-transfer-cli import" of workbooks and CSV files that LibreOffice,
// xlwt or openpyxl wrote, and the files it writes read back by them.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_import_fixture.h"
#include "cli/cli_run.h"
#include "transfer/export_fixture.h"

namespace {

using namespace pos::clitest;

// The first two dishes, each column an export holds, to see them come back.
const char* const kDish =
    "select group_concat(ID || '|' || Name || '|' || FirstLetter || '|' || CategoryID || '|' "
    "|| SCSN || '|' || Unit1 || '|' || Price1 || '|' || Cost1 || '|' || VPrice1, ';') from "
    "(select * from menu order by ID limit 2)";

TEST_F(CliImport, WorkbookSavedByLibreOfficeImports) {
    // Exported, converted by LibreOffice, and imported after two dishes were
    // deleted: those two come back as they were, the others are found.
    struct Case {
        const char* exported;
        const char* saved;  // the format LibreOffice saves
    };
    const Case cases[] = {{"xls", "xlsx"}, {"xlsx", "ods"}};
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
