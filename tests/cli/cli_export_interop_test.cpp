// pos-transfer-cli export, run as a user runs it, with every workbook it
// writes read back by xlrd or openpyxl and the stored rows counted by
// Python's own sqlite3.
#include <gtest/gtest.h>

#include "cli/cli_export_fixture.h"
#include "cli/cli_run.h"
#include "transfer/export_fixture.h"
#include "workbook/WorkbookFormats.h"

namespace fs = std::filesystem;
using namespace pos::exporttest;
using pos::clitest::CliExport;
using pos::clitest::CliRun;
using pos::clitest::kCliProgram;

TEST_F(CliExport, WritesTheWorkbookAndTheMissingFieldMaps) {
    const std::string out = m_tmp.dir() + "menu.xls";
    CliRun r = run({"export", "--database", "pos_demo", "--dataset", "Menu", "--output", out});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "数据导出成功！\n");
    EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
    for (const char* file : {"Menu.ini", "HallTable.ini", "MenuAnnotate.ini"}) {
        EXPECT_TRUE(fs::exists(m_tmp.path() / "maps" / file)) << file;
    }
    SheetReadBack sheet = readFirstSheet(out);
    ASSERT_GE(sheet.rows.size(), 3u);
    EXPECT_EQ(sheet.sheetNames.front(), "Menu");
    EXPECT_EQ(sheet.rows[1].front(), "菜品编码");
}

TEST_F(CliExport, RefusesAnExistingFileUnlessOverwriteIsGiven) {
    const std::string out = m_tmp.dir() + "hall.xls";
    writeText(out, "kept");
    CliRun refused =
        run({"export", "--database", "pos_demo", "--dataset", "厅桌信息", "--output", out});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "文件已经存在：" + out + "\n如需覆盖，请加上 --overwrite 选项重新导出。\n");
    EXPECT_EQ(readText(out), "kept");

    CliRun replaced = run({"export", "--database", "pos_demo", "--dataset", "halltable", "--output",
                           out, "--overwrite"});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(readFirstSheet(out).sheetNames.front(), "HallTable");
}

TEST_F(CliExport, FormatFollowsTheOutputsExtension) {
    struct Case {
        const char* file;
        int exitCode;
        bool refused;
    };
    const Case cases[] = {
        {"menu.xlsx", 0, false}, {"MENU.XLSX", 0, false}, {"menu.xls", 0, false},
        {"menu.txt", 1, true},   {"menu", 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string out = m_tmp.dir() + c.file;
        CliRun r = run({"export", "--database", "pos_demo", "--dataset", "Menu", "--output", out});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        if (c.refused) {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "数据导出失败：保存路径" + out + "的扩展名不是" +
                                 pos::workbook::extensionList() +
                                 "之一，无法确定工作簿的格式。\n请把保存路径的扩展名改为" +
                                 pos::workbook::extensionList() + "后重新导出。\n");
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        EXPECT_EQ(r.out, "数据导出成功！\n");
        SheetReadBack sheet = readFirstSheet(out);  // by the reader of its format
        EXPECT_TRUE(sheet.problems.empty()) << sheet.problems.front();
        ASSERT_GE(sheet.rows.size(), 3u);
        EXPECT_EQ(sheet.sheetNames.front(), "Menu");
        EXPECT_EQ(sheet.rows[1].front(), "菜品编码");
    }
}

// The exit code follows how the export ended, whatever its message says;
// rows that the export's views leave out are counted in the message of a
// successful export.
TEST_F(CliExport, ExitCodeFollowsTheOutcome) {
    const std::string longText(32768, 'x');  // one more than a cell holds
    pos::db::createStoreDatabase(m_tmp.dir() + "store", "long",
                                 {schemaScript(),
                                  "INSERT INTO AnnotateType (ID, Name) VALUES (1, '口味');\n"
                                  "INSERT INTO Annotate (ID, Name, AnnotateTypeID) VALUES (1, '" +
                                      longText + "', 1);\n"});
    // Two dishes without a category (none, or one that is not there), one
    // whose statistics category is not there; a table without its hall; an
    // annotation whose type is not there.
    pos::db::createStoreDatabase(
        m_tmp.dir() + "store", "partners",
        {schemaScript(), demoScript(),
         "UPDATE menu SET CategoryID = NULL WHERE ID = (SELECT min(ID) FROM menu);\n"
         "UPDATE menu SET CategoryID = 999 WHERE ID = (SELECT max(ID) FROM menu);\n"
         "UPDATE menu SET SCSN = 999 WHERE ID = (SELECT min(ID) + 1 FROM menu);\n"
         "UPDATE tables SET Hallid = 999 WHERE ID = (SELECT min(ID) FROM tables);\n"
         "UPDATE Annotate SET AnnotateTypeID = 999 WHERE rowid = (SELECT min(rowid) FROM "
         "Annotate);\n"});
    struct Case {
        const char* database;
        const char* dataset;
        const char* table;  // the stored rows, each exported or counted as left out
        int exitCode;
        std::string out;
        std::string errPrefix;
        int leftOut;
    };
    const std::string remedy = "，未导出。如需导出，请在数据库中为这些";
    const Case cases[] = {
        {"pos_demo", "MenuAnnotate", "Annotate", 0, "数据导出成功！\n", "", 0},
        {"long", "MenuAnnotate", "Annotate", 1, "",
         "数据导出失败：第3行（第1条记录）“注释名称”列的文本有32768个字符，超过了一个单元格最多能"
         "容纳的32767个字符。",
         0},
        {"partners", "Menu", "menu", 0,
         "数据导出成功！\n另有3道菜没有类别或统计类别" + remedy +
             "菜指定已有的菜品类别和统计类别后重新导出。\n",
         "", 3},
        {"partners", "HallTable", "tables", 0,
         "数据导出成功！\n另有1张桌子没有所属的大厅" + remedy + "桌子指定已有的大厅后重新导出。\n",
         "", 1},
        {"partners", "MenuAnnotate", "Annotate", 0,
         "数据导出成功！\n另有1条注释没有注释类别" + remedy +
             "注释指定已有的注释类别后重新导出。\n",
         "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.database) + " " + c.dataset);
        const std::string out = m_tmp.dir() + c.database + c.dataset + ".xlsx";
        CliRun r =
            run({"export", "--database", c.database, "--dataset", c.dataset, "--output", out});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.out, c.out);
        if (c.errPrefix.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.err.rfind(c.errPrefix, 0), 0u) << r.err;
        }
        EXPECT_EQ(fs::exists(out), c.exitCode == 0);
        if (c.exitCode == 0) {
            const Rows stored = queryWithPython(m_tmp.dir() + "store/" + c.database + ".db",
                                                std::string("select count(*) from ") + c.table);
            ASSERT_EQ(stored.size(), 1u);
            EXPECT_EQ(std::to_string(readFirstSheet(out).rows.size() - 2 + c.leftOut),
                      stored[0][0]);
        }
    }
}

TEST(CliExportDefaults, WritesBesideTheProgramUnderTheDisplayText) {
    // A copy of the program in a folder of its own, so that its folder is ours.
    TempDir tmp;
    fs::create_directory(tmp.path() / "bin");
    const fs::path program = tmp.path() / "bin" / "pos-transfer-cli";
    fs::copy_file(kCliProgram, program);
    pos::db::createStoreDatabase(tmp.dir() + "store", "pos_demo", {schemaScript(), demoScript()});
    CliRun r = pos::clitest::runCli({"--store", tmp.dir() + "store", "export", "--database",
                                     "pos_demo", "--dataset", "MenuAnnotate"},
                                    tmp.dir(), {}, program.string());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::exists(tmp.path() / "bin" / "MenuAnnotate.ini"));
    SheetReadBack sheet = readFirstSheet((tmp.path() / "bin" / "菜品注释.xls").string());
    ASSERT_GE(sheet.rows.size(), 2u);
    EXPECT_EQ(sheet.rows[1], (std::vector<std::string>{"注释类别", "注释名称"}));
}
