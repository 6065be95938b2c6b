// The export worker against real store databases, each workbook read back by
// xlrd or openpyxl and compared with the rows Python's own sqlite3 reads: the
// three datasets, a schema with other types and columns, field maps, the
// gauge over the rows written.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include "datasets/FieldMap.h"
#include "export_fixture.h"
#include "support/StoreFixture.h"
#include "transfer/ExThread.h"

namespace fs = std::filesystem;
using namespace pos;
using namespace pos::exporttest;
using pos::testing::StoreFixture;
using transfer::ExportOutcome;

namespace {

std::string annotationScript(int count) {
    std::string script =
        schemaScript() + "INSERT INTO AnnotateType (ID, Name) VALUES (1, '口味');\n";
    for (int i = 1; i <= count; ++i) {
        script += "INSERT INTO Annotate (ID, Name, AnnotateTypeID) VALUES (" + std::to_string(i) +
                  ", '注释" + std::to_string(i) + "', 1);\n";
    }
    return script;
}

}  // namespace

// --- the three datasets of the demo database ------------------------------------------

struct DatasetCase {
    const char* key;
    const char* text;
    const char* oracle;  // the same rows, joined independently
    // By column: 'n' where the database holds numbers (a number cell), 's'
    // where it holds text (a text cell, even when it looks like a number).
    const char* kinds;
};

// Each cell of the data rows is of its column's kind; an empty cell is none.
void expectKinds(const SheetReadBack& sheet, const std::string& kinds) {
    for (std::size_t r = 2; r < sheet.kinds.size(); ++r) {
        for (std::size_t c = 0; c < sheet.kinds[r].size(); ++c) {
            if (sheet.kinds[r][c] != ' ') {
                ASSERT_LT(c, kinds.size());
                EXPECT_EQ(sheet.kinds[r][c], kinds[c])
                    << "row " << r + 1 << " column " << c + 1 << ": " << sheet.rows[r][c];
            }
        }
    }
}

class ExportDemoDataset : public ::testing::TestWithParam<DatasetCase> {
protected:
    void exportAndCheck(const DatasetCase& c, StoreFixture& store, TempDir& tmp,
                        const std::string& path);
};

TEST_P(ExportDemoDataset, WritesKeySheetHeadingsAndNumbersAsNumbers) {
    const DatasetCase& c = GetParam();
    TempDir tmp;
    StoreFixture store({schemaScript(), demoScript()}, "pos_demo", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());
    for (const char* extension : {".xls", ".xlsx"}) {
        SCOPED_TRACE(extension);
        exportAndCheck(c, store, tmp, tmp.dir() + c.text + extension);
    }
}

void ExportDemoDataset::exportAndCheck(const DatasetCase& c, StoreFixture& store, TempDir& tmp,
                                       const std::string& path) {
    RecordingView view;
    EXPECT_EQ(exportWith(store, c.key, path, tmp.dir(), view).outcome, ExportOutcome::Succeeded);

    EXPECT_EQ(view.messages(), std::vector<std::string>{kSuccess});
    const std::vector<std::string> events = view.events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front(), "disable");
    EXPECT_EQ(events.back(), "enable");
    EXPECT_EQ(events[events.size() - 2], "progress 0");
    EXPECT_NE(std::find(events.begin(), events.end(), "clearPath"), events.end());
    EXPECT_TRUE(store.views().empty());

    SheetReadBack sheet = readFirstSheet(path);
    EXPECT_TRUE(sheet.problems.empty()) << sheet.problems.front();
    ASSERT_FALSE(sheet.sheetNames.empty());
    EXPECT_EQ(sheet.sheetNames.front(), c.key);
    ASSERT_GE(sheet.rows.size(), 3u);
    EXPECT_TRUE(sheet.rows[0].empty());
    EXPECT_EQ(sheet.rows[1], datasets::defaultFieldMap(c.key).showNames());
    EXPECT_EQ(sheet.kinds[1], std::string(sheet.rows[1].size(), 's'));
    expectKinds(sheet, c.kinds);
    const Rows expected = sortedData(queryWithPython(store.databasePath(), c.oracle), 0);
    EXPECT_GT(expected.size(), 2u);
    EXPECT_EQ(sortedData(sheet.rows, 2), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Datasets, ExportDemoDataset,
    ::testing::Values(
        DatasetCase{"Menu", "菜品信息",
                    "select m.ID, m.Name, m.FirstLetter, c.Name, s.SCNA, m.Unit1, m.Price1, "
                    "m.Cost1, m.VPrice1, m.Unit2, m.Price2, m.Cost2, m.VPrice2, m.Unit3, m.Price3, "
                    "m.Cost3, m.VPrice3 from menu m join STCA s on m.SCSN = s.SCSN "
                    "join Category c on m.CategoryID = c.ID",
                    "nsssssnnnsnnnsnnn"},
        // Table numbers are text ("101"), and stay text.
        DatasetCase{"HallTable", "厅桌信息",
                    "select h.Name, t.Code, t.Name from tables t join Hall h on t.Hallid = h.ID",
                    "sss"},
        DatasetCase{"MenuAnnotate", "菜品注释",
                    "select y.Name, a.Name from Annotate a join AnnotateType y "
                    "on a.AnnotateTypeID = y.ID",
                    "ss"}),
    [](const auto& p) { return std::string(p.param.key); });

// --- a database whose tables differ from the demo schema -------------------------------

TEST(ExportOtherSchema, TextFormsFollowTheColumnTypes) {
    // Other column order, extra columns, other types: text keys, money,
    // floating point, bit and date columns.
    const std::string script = R"SQL(
CREATE TABLE Category (Extra TEXT, Name NVARCHAR(10), ID INTEGER PRIMARY KEY);
CREATE TABLE STCA (SCNA TEXT, Note TEXT, SCSN INTEGER);
CREATE TABLE menu (VPrice3 REAL, Price3 FLOAT, Cost3 MONEY, Unit3 TEXT, Added DATETIME,
  ID TEXT, Name TEXT, FirstLetter TEXT, CategoryID INTEGER, SCSN INTEGER,
  Unit1 TEXT, Price1 MONEY, Cost1 FLOAT, VPrice1 BIT,
  Unit2 TEXT, Price2 REAL, Cost2 INTEGER, VPrice2 DECIMAL(19,4));
INSERT INTO Category VALUES ('x', '凉菜', 1);
INSERT INTO STCA VALUES ('菜品', 'n', 7);
INSERT INTO menu VALUES (2.5, 1e-7, 3, '只', '2024-03-01 12:30:05',
  '007', '拍"黄''瓜', NULL, 1, 7, '份', 9.5, 0.30000000000000004, 1,
  NULL, 1234567.125, -3, 12.3456);
CREATE TABLE hall (ID INTEGER, Name TEXT);
CREATE TABLE tables (Hallid INTEGER, Name DATETIME, Code DATE);
INSERT INTO hall VALUES (1, '大厅');
INSERT INTO tables VALUES (1, '2024-03-01 00:00:00', '2024-03-01 08:00:00');
)SQL";
    TempDir tmp;
    StoreFixture store({script}, "other", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());

    // Numbers are number cells, whatever their type; a text key with leading
    // zeros, a bit and the texts are text cells.
    for (const char* file : {"menu.xls", "menu.xlsx"}) {
        SCOPED_TRACE(file);
        RecordingView menuView;
        exportWith(store, "Menu", tmp.dir() + file, tmp.dir(), menuView);
        ASSERT_EQ(menuView.messages(), std::vector<std::string>{kSuccess});
        SheetReadBack menu = readFirstSheet(tmp.dir() + file);
        ASSERT_EQ(menu.rows.size(), 3u);
        EXPECT_EQ(menu.rows[2],
                  (std::vector<std::string>{"007", "拍\"黄'瓜", "", "凉菜", "菜品", "份", "9.5",
                                            "0.3", "True", "", "1234567.125", "-3", "12.3456", "只",
                                            "1e-07", "3", "2.5"}));
        EXPECT_EQ(menu.kinds[2], "ss sssnns nnnsnnn");
    }

    RecordingView hallView;
    exportWith(store, "HallTable", tmp.dir() + "hall.xls", tmp.dir(), hallView);
    ASSERT_EQ(hallView.messages(), std::vector<std::string>{kSuccess});
    SheetReadBack hall = readFirstSheet(tmp.dir() + "hall.xls");
    ASSERT_EQ(hall.rows.size(), 3u);
    EXPECT_EQ(hall.rows[2],
              (std::vector<std::string>{"大厅", "2024-03-01 08:00:00", "2024-03-01"}));
    EXPECT_EQ(hall.kinds[2], "sss");
}

// --- prices stored as binary numbers ------------------------------------------------------

// Each price as the store keeps it (REAL, or INTEGER where the decimal
// column's affinity makes it one) against the number cell of the .xls read
// back by xlrd, to the last bit: a price is written as the number its text
// form (at most 15 significant digits) reads back as, a zero as +0; a whole
// number beyond 15 significant digits as its text.
TEST(ExportStoredPrices, CellsHoldTheNumbersTheirTextFormsReadAs) {
    const char* const prices[] = {"12.5",
                                  "0.30000000000000004",
                                  "2.675",
                                  "1e-7",
                                  "0.00015",
                                  "0.0001",
                                  "1234567.125",
                                  "99999999999999.9",
                                  "123456789012.3456",
                                  "19.99",
                                  "-3.25",
                                  "0.1",
                                  "1.0 / 3",
                                  "5e-324",
                                  "1e15",
                                  "1e20",
                                  "-0.0",
                                  "42",
                                  "100000000000000000",
                                  "123456789012345678",
                                  "-1234567890123456789"};
    std::string script = schemaScript() +
                         "INSERT INTO Category (ID, Name) VALUES (1, '凉菜');\n"
                         "INSERT INTO STCA (SCID, SCSN, SCNA) VALUES (1, 1, '菜品');\n";
    int id = 1000;
    for (const char* price : prices) {
        script += "INSERT INTO menu (ID, Name, CategoryID, SCSN, Price1) VALUES (" +
                  std::to_string(++id) + ", 'd', 1, 1, " + price + ");\n";
    }
    TempDir tmp;
    StoreFixture store({script}, "prices", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());
    const std::string path = tmp.dir() + "prices.xls";
    RecordingView view;
    ASSERT_EQ(exportWith(store, "Menu", path, tmp.dir(), view).outcome, ExportOutcome::Succeeded);

    // Rows of the dish number, its price cell's kind and its value (repr).
    static const char* const kScript = R"PY(
import sys, sqlite3, xlrd
def significant(i):
    return len(str(abs(i)).rstrip("0"))
con = sqlite3.connect(sys.argv[1])
for key, price in con.execute("select ID, Price1 from menu order by ID"):
    if isinstance(price, int) and significant(price) > 15:
        cell = ["s", str(price)]
    else:
        shown = float(price) if isinstance(price, int) else float("%.15g" % price)
        cell = ["n", repr(shown + 0.0)]
    print("\t".join(["E", str(key)] + cell))
sheet = xlrd.open_workbook(sys.argv[2]).sheet_by_index(0)
for r in range(2, sheet.nrows):
    key, price = sheet.cell(r, 0), sheet.cell(r, 6)
    kind = "n" if price.ctype == xlrd.XL_CELL_NUMBER else "s"
    value = repr(price.value) if kind == "n" else price.value
    print("\t".join(["W", str(int(key.value)), kind, value]))
)PY";
    std::vector<std::string> expected;
    std::vector<std::string> written;
    std::istringstream lines(runPython(kScript, {store.databasePath(), path}));
    for (std::string line; std::getline(lines, line);) {
        (line.rfind("E\t", 0) == 0 ? expected : written).push_back(line.substr(2));
    }
    EXPECT_EQ(expected.size(), std::size(prices));
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, expected);
}

// --- field maps -------------------------------------------------------------------------

struct FieldMapCase {
    const char* name;
    const char* file;  // UTF-8 with a byte-order mark; nullptr: no file
    std::vector<std::string> headings;
    // The columns under the headings, over tables t and Hall h; nullptr when
    // the map is refused, with `refusal` the start of its message after the
    // map's path.
    const char* columns;
    const char* refusal = nullptr;
};

class ExportFieldMap : public ::testing::TestWithParam<FieldMapCase> {};

TEST_P(ExportFieldMap, EachHeadingStandsOverTheColumnItsEntryNames) {
    const FieldMapCase& c = GetParam();
    TempDir tmp;
    StoreFixture store({schemaScript(), demoScript()}, "pos_demo", tmp.dir() + "store");
    const std::string mapPath = tmp.dir() + "HallTable.ini";
    if (c.file != nullptr) {
        writeText(mapPath, std::string("\xEF\xBB\xBF") + c.file);
    }
    const std::string path = tmp.dir() + "out.xls";
    RecordingView view;
    const ExportOutcome outcome = exportWith(store, "HallTable", path, tmp.dir(), view).outcome;
    ASSERT_EQ(view.messages().size(), 1u);
    if (c.columns == nullptr) {
        // Refused before anything is written, naming the entry.
        EXPECT_EQ(outcome, ExportOutcome::Refused);
        EXPECT_EQ(view.messages()[0].rfind(
                      "数据导出失败：字段对应文件“" + mapPath + "”中的" + c.refusal, 0),
                  0u)
            << view.messages()[0];
        EXPECT_FALSE(fs::exists(path));
        EXPECT_TRUE(store.views().empty());
        return;
    }
    if (c.headings.empty()) {
        // Written, but the user hears that the map gave no heading.
        EXPECT_EQ(
            view.messages()[0].rfind(std::string(kSuccess) + "\n注意：字段对应文件“" + mapPath +
                                         "”中没有可用的列，导出的工作簿没有标题行。",
                                     0),
            0u)
            << view.messages()[0];
    } else {
        EXPECT_EQ(view.messages()[0], kSuccess);
    }

    SheetReadBack sheet = readFirstSheet(path);
    ASSERT_GE(sheet.rows.size(), 3u);
    EXPECT_EQ(sheet.rows[1], c.headings);
    const Rows expected =
        queryWithPython(store.databasePath(), std::string("select ") + c.columns +
                                                  " from tables t "
                                                  "join Hall h on t.Hallid = h.ID");
    EXPECT_EQ(sortedData(sheet.rows, 2), sortedData(expected, 0));

    if (c.file == nullptr) {
        // The map written from the view's columns is there for the next run.
        ASSERT_TRUE(fs::exists(mapPath));
        EXPECT_EQ(datasets::readFieldMap(mapPath).showNames(), c.headings);
        EXPECT_EQ(datasets::readFieldMap(mapPath).entries[0].showField, "HallName");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Maps, ExportFieldMap,
    ::testing::Values(
        // No entry at all: every column of the view, without headings.
        FieldMapCase{"FieldCountZero", "[Field]\r\nFieldCount=0\r\n", {}, "h.Name, t.Code, t.Name"},
        FieldMapCase{"FieldCountMissing",
                     "[field]\r\n1=HallName\r\n2=TableID\r\n[HallName]\r\nShowField=HallName\r\n"
                     "ShowName=厅\r\n[TableID]\r\nShowField=TableID\r\nShowName=桌\r\n",
                     {"厅"},
                     "h.Name"},
        // Columns named in any letter case, as the database names them.
        FieldMapCase{"FewerEntriesOtherOrder",
                     "[FIELD]\r\nFieldCount=2\r\n1=TableName\r\n2=HallName\r\n"
                     "[TableName]\r\nShowField=tablename\r\nShowName=桌名\r\n"
                     "[HallName]\r\nShowField=HallName\r\nShowName=厅名\r\n",
                     {"桌名", "厅名"},
                     "t.Name, h.Name"},
        FieldMapCase{"EntryNamesMissingSection",
                     "[Field]\r\nFieldCount=2\r\n1=Nowhere\r\n2=TableID\r\n[TableID]\r\n"
                     "ShowField=TableID\r\nShowName=桌号\r\n",
                     {},
                     nullptr,
                     "第1项（[Nowhere]节）没有指定要导出的列（ShowField为空）。"},
        FieldMapCase{"EntryNamesMissingColumn",
                     "[Field]\r\nFieldCount=2\r\n1=TableID\r\n2=Seats\r\n[TableID]\r\n"
                     "ShowField=TableID\r\nShowName=桌号\r\n[Seats]\r\nShowField=Seats\r\n"
                     "ShowName=座位数\r\n",
                     {},
                     nullptr,
                     "第2项（[Seats]节）的ShowField“Seats”不是可以导出的列。可以导出的列有："
                     "HallName、TableID、TableName。"},
        FieldMapCase{"MissingFileIsWrittenFromTheView",
                     nullptr,
                     {"HallName", "TableID", "TableName"},
                     "h.Name, t.Code, t.Name"}),
    [](const auto& p) { return std::string(p.param.name); });

// --- the gauge --------------------------------------------------------------------------

struct GaugeCase {
    int records;
    std::vector<int> positions;  // after each record, then FinishExport's 0
};

class ExportGauge : public ::testing::TestWithParam<GaugeCase> {};

TEST_P(ExportGauge, MovesByTheWorksheetRowOverTheRecordCount) {
    const GaugeCase& c = GetParam();
    TempDir tmp;
    StoreFixture store({annotationScript(c.records)}, "n", tmp.dir() + "store");
    datasets::writeDefaultFieldMaps(tmp.dir());
    const std::string path = tmp.dir() + "out.xls";
    RecordingView view;
    exportWith(store, "MenuAnnotate", path, tmp.dir(), view);
    EXPECT_EQ(view.progress(), c.positions);
    EXPECT_EQ(view.messages(), std::vector<std::string>{kSuccess});
    SheetReadBack sheet = readFirstSheet(path);
    EXPECT_EQ(sheet.rows.size(), static_cast<std::size_t>(c.records) + 2);
    ASSERT_GE(sheet.rows.size(), 2u);
    EXPECT_EQ(sheet.rows[1], (std::vector<std::string>{"注释类别", "注释名称"}));
}

INSTANTIATE_TEST_SUITE_P(Records, ExportGauge,
                         ::testing::Values(GaugeCase{8,
                                                     {111, 150, 186, 225, 261, 300, 300, 300, 0}},
                                           GaugeCase{4, {225, 300, 300, 300, 0}},
                                           GaugeCase{1, {300, 0}}, GaugeCase{0, {0}}),
                         [](const auto& p) { return std::to_string(p.param.records); });
