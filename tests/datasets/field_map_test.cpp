// Field maps: the default files byte for byte, existing files left alone,
// write errors, and the reading rules.
#include "datasets/FieldMap.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "datasets/IniFile.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using pos::datasets::FieldMap;
using pos::datasets::FieldMapEntry;

namespace {

using pos::testing::TempDir;

const char* const kKeys[] = {"Menu", "HallTable", "MenuAnnotate"};

fs::path golden(const std::string& key) {
    return fs::path(POS_TEST_DATA_DIR) / ("default_" + key + ".ini");
}

}  // namespace

TEST(DefaultFieldMaps, AreWrittenByteForByteAsTheGoldenFiles) {
    TempDir tmp;
    pos::datasets::writeDefaultFieldMaps(tmp.dir());
    for (const char* key : kKeys) {
        SCOPED_TRACE(key);
        EXPECT_EQ(pos::testing::readFile(tmp.path() / (std::string(key) + ".ini")),
                  pos::testing::readFile(golden(key)));
    }
    // Nothing else is left in the folder (no temporary files).
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 3);
}

TEST(DefaultFieldMaps, DefaultsHaveTheDocumentedEntryCounts) {
    EXPECT_EQ(pos::datasets::defaultFieldMap("Menu").entries.size(), 17u);
    EXPECT_EQ(pos::datasets::defaultFieldMap("hallTABLE").entries.size(), 3u);
    const FieldMap& annotate = pos::datasets::defaultFieldMap("MenuAnnotate");
    ASSERT_EQ(annotate.entries.size(), 2u);
    EXPECT_EQ(annotate.entries[1].showField, "Annotatename");
}

TEST(DefaultFieldMaps, GoldenFilesReadBackAsTheDefaults) {
    for (const char* key : kKeys) {
        SCOPED_TRACE(key);
        FieldMap read = pos::datasets::readFieldMap(golden(key).string());
        EXPECT_EQ(read.entries, pos::datasets::defaultFieldMap(key).entries);
    }
}

TEST(DefaultFieldMaps, ExistingFileIsLeftUntouchedAndADeletedOneIsWrittenAgain) {
    TempDir tmp;
    const std::string custom = "[Field]\r\nFieldCount=1\r\n1=Hall\r\n[Hall]\r\nShowName=X\r\n";
    pos::testing::writeFile(tmp.path() / "HallTable.ini", custom);
    pos::datasets::writeDefaultFieldMaps(tmp.dir());
    EXPECT_EQ(pos::testing::readFile(tmp.path() / "HallTable.ini"), custom);
    EXPECT_EQ(pos::testing::readFile(tmp.path() / "Menu.ini"),
              pos::testing::readFile(golden("Menu")));

    fs::remove(tmp.path() / "HallTable.ini");
    pos::datasets::writeDefaultFieldMaps(tmp.dir());
    EXPECT_EQ(pos::testing::readFile(tmp.path() / "HallTable.ini"),
              pos::testing::readFile(golden("HallTable")));
}

TEST(DefaultFieldMaps, AWriteErrorEndsAtThatFileAndNamesIt) {
    TempDir tmp;
    // A folder in the place of HallTable.ini cannot be replaced by a file,
    // whoever runs the test.
    fs::create_directory(tmp.path() / "HallTable.ini");
    try {
        pos::datasets::writeDefaultFieldMaps(tmp.dir());
        FAIL() << "no error raised";
    } catch (const pos::datasets::IniError& e) {
        EXPECT_NE(std::string(e.what()).find("HallTable.ini"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(fs::exists(tmp.path() / "Menu.ini"));
    EXPECT_FALSE(fs::exists(tmp.path() / "MenuAnnotate.ini"));
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 2);
}

TEST(DefaultFieldMaps, AReadOnlyFolderRaisesAWriteError) {
    TempDir tmp;
    ::chmod(tmp.path().c_str(), 0555);
    if (::access(tmp.path().c_str(), W_OK) == 0) {
        GTEST_SKIP() << "running with rights that write into a read-only folder (root)";
    }
    EXPECT_THROW(pos::datasets::writeDefaultFieldMaps(tmp.dir()), pos::datasets::IniError);
    EXPECT_FALSE(fs::exists(tmp.path() / "Menu.ini"));
}

struct ReadCase {
    const char* name;
    const char* text;
    std::vector<FieldMapEntry> expected;
};

class ReadFieldMap : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadFieldMap, FollowsTheProfileRules) {
    TempDir tmp;
    fs::path file = tmp.path() / "Menu.ini";
    if (*GetParam().text != 0) {
        pos::testing::writeFile(file, GetParam().text);
    }
    EXPECT_EQ(pos::datasets::readFieldMap(file.string()).entries, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadFieldMap,
    ::testing::Values(
        ReadCase{"CapitalHead",
                 "[FIELD]\r\nFIELDCOUNT=1\r\n1=Name\r\n[NAME]\r\nshowfield=N\r\nSHOWNAME=H\r\n",
                 {{"Name", "N", "H"}}},
        ReadCase{"SmallHead",
                 "[field]\nfieldcount=1\n1=Name\n[name]\nShowField=N\nShowName=H\n",
                 {{"Name", "N", "H"}}},
        ReadCase{
            "BlanksAroundKeysAndValues",
            "  [ Field ]  \r\n FieldCount = 1 \r\n 1 = Name \r\n[Name]\r\n ShowName =  H  \r\n",
            {{"Name", "", "H"}}},
        ReadCase{"MissingFieldCountGivesOne",
                 "[Field]\r\n1=A\r\n2=B\r\n[A]\r\nShowName=a\r\n",
                 {{"A", "", "a"}}},
        ReadCase{"NonNumberCountCountsAsMissing",
                 "[Field]\r\nFieldCount=2x\r\n1=A\r\n2=B\r\n",
                 {{"A", "", ""}}},
        ReadCase{"HexCountWith0x",
                 "[Field]\r\nFieldCount=0x2\r\n1=A\r\n2=B\r\n",
                 {{"A", "", ""}, {"B", "", ""}}},
        ReadCase{"HexCountWithDollar",
                 "[Field]\r\nFieldCount=$2\r\n1=A\r\n2=B\r\n",
                 {{"A", "", ""}, {"B", "", ""}}},
        ReadCase{"MissingSectionsAndKeysGiveEmptyTexts",
                 "[Field]\r\nFieldCount=3\r\n1=A\r\n3=C\r\n",
                 {{"A", "", ""}, {"", "", ""}, {"C", "", ""}}},
        ReadCase{"ZeroAndNegativeCountsGiveNoEntries", "[Field]\r\nFieldCount=-3\r\n1=A\r\n", {}},
        ReadCase{"FirstOfDuplicateKeysWins",
                 "[Field]\r\nFieldCount=1\r\n1=A\r\n1=B\r\n",
                 {{"A", "", ""}}},
        ReadCase{"Utf8WithByteOrderMark",
                 "\xEF\xBB\xBF[Field]\r\nFieldCount=1\r\n1=A\r\n[A]\r\nShowName=厅名\r\n",
                 {{"A", "", "厅名"}}},
        // As most editors on Linux save it: headings read as written, not as
        // GBK (which would give 鍘呭悕 for 厅名).
        ReadCase{"Utf8WithoutByteOrderMark",
                 "[Field]\nFieldCount=2\n1=A\n2=B\n[A]\nShowName=厅名\n[B]\nShowName=菜品名称\n",
                 {{"A", "", "厅名"}, {"B", "", "菜品名称"}}},
        ReadCase{"Gbk",
                 "[Field]\r\nFieldCount=2\r\n1=A\r\n2=B\r\n[A]\r\nShowName=\xCC\xFC\xC3\xFB\r\n"
                 "[B]\r\nShowName=\xB2\xCB\xC6\xB7\xC3\xFB\xB3\xC6\r\n",
                 {{"A", "", "厅名"}, {"B", "", "菜品名称"}}},
        ReadCase{"MissingFileGivesOneEmptyEntry", "", {{"", "", ""}}}),
    [](const ::testing::TestParamInfo<ReadCase>& p) { return std::string(p.param.name); });

TEST(ReadFieldMapErrors, AnOversizedCountIsRefusedWithTheFileName) {
    TempDir tmp;
    fs::path file = tmp.path() / "Menu.ini";
    pos::testing::writeFile(file, "[Field]\r\nFieldCount=$7FFFFFFF\r\n");
    try {
        pos::datasets::readFieldMap(file.string());
        FAIL() << "no error raised";
    } catch (const pos::datasets::IniError& e) {
        EXPECT_NE(std::string(e.what()).find("Menu.ini"), std::string::npos) << e.what();
    }
}

TEST(WriteFieldMap, AMapFromColumnsReadsBackWithTheColumnsAsHeadings) {
    TempDir tmp;
    std::string path = pos::datasets::fieldMapPath(tmp.path().string(), "HallTable");
    EXPECT_EQ(path, (tmp.path() / "HallTable.ini").string());
    std::vector<std::string> columns{"HallName", "TableID", "桌名"};
    pos::datasets::writeFieldMap(path, pos::datasets::fieldMapFromColumns(columns));
    FieldMap read = pos::datasets::readFieldMap(path);
    EXPECT_EQ(read.showNames(), columns);
    EXPECT_EQ(read.entries[2].showField, "桌名");
    // The file is GBK: 桌名 is D7 C0 C3 FB.
    EXPECT_NE(pos::testing::readFile(path).find("ShowName=\xD7\xC0\xC3\xFB\r\n"),
              std::string::npos);
}
