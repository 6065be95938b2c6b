// The profile rules of IniFile: integers, replacement in place, where new
// keys and sections go, encodings.
#include "datasets/IniFile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>

using pos::datasets::IniError;
using pos::datasets::IniFile;
using pos::datasets::parseProfileInteger;

TEST(ProfileInteger, ParsesDecimalAndHexadecimalAndRefusesTheRest) {
    struct Case {
        const char* text;
        std::optional<int> expected;
    };
    const Case cases[] = {
        {"17", 17},
        {" 17 ", 17},
        {"-4", -4},
        {"+4", 4},
        {"0x1F", 31},
        {"0X1f", 31},
        {"$10", 16},
        {"-$10", -16},
        {"$FFFFFFFF", -1},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"2147483648", {}},
        {"$100000000", {}},
        {"", {}},
        {"0x", {}},
        {"$", {}},
        {"12abc", {}},
        {"1 2", {}},
        {"abc", {}},
        {"1.5", {}},
        {"-", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseProfileInteger(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(IniFileWrite, ReplacesInPlaceAndAppendsKeysAndSectionsWhereTheyBelong) {
    IniFile ini = IniFile("unused.ini");
    ini.writeString("Field", "FieldCount", "1");
    ini.writeString("A", "ShowField", "a");
    ini.writeString("field", "1", "A");           // same section, other spelling: appended to it
    ini.writeString("FIELD", "fieldcount", "2");  // replaced in place, key keeps its spelling
    ini.writeString("B", "ShowName", "b");        // a new section at the end
    ini.writeInteger("a", "ShowName", 7);         // appended to the end of section A
    EXPECT_EQ(ini.encoded(),
              "[Field]\r\nFieldCount=2\r\n1=A\r\n"
              "[A]\r\nShowField=a\r\nShowName=7\r\n"
              "[B]\r\nShowName=b\r\n");
    EXPECT_EQ(ini.readInteger("FIELD", " FIELDCOUNT ", 0), 2);
    EXPECT_EQ(ini.readString("c", "x", "dflt"), "dflt");
    EXPECT_EQ(ini.readString("A", "missing", "dflt"), "dflt");
}

TEST(IniFileWrite, KeepsCommentsAndForeignLinesAndInsertsAfterTheLastKey) {
    namespace fs = std::filesystem;
    fs::path file = fs::temp_directory_path() / ("ini-test-" + std::to_string(::getpid()) + ".ini");
    {
        std::ofstream out(file, std::ios::binary);
        out << "; comment\n[S]\nk=1\n\n[T]\nx=y\n";
    }
    IniFile ini = IniFile::load(file.string());
    ini.writeString("s", "new", "v");
    ini.writeString("S", "K", "2");
    ini.save();
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, "; comment\r\n[S]\r\nk=2\r\nnew=v\r\n\r\n[T]\r\nx=y\r\n");
    fs::remove(file);
}

TEST(IniFileEncoding, GbkAndCharactersBeyondGbkSurviveARoundTrip) {
    namespace fs = std::filesystem;
    fs::path file = fs::temp_directory_path() / ("ini-enc-" + std::to_string(::getpid()) + ".ini");
    IniFile ini(file.string());
    ini.writeString("A", "ShowName", "厅名");
    ini.writeString("A", "Other", "€ 𠀀 é");  // outside GBK: kept through GB18030
    ini.save();
    IniFile back = IniFile::load(file.string());
    EXPECT_EQ(back.readString("a", "showname", ""), "厅名");
    EXPECT_EQ(back.readString("a", "other", ""), "€ 𠀀 é");
    EXPECT_NE(back.encoded().find("ShowName=\xCC\xFC\xC3\xFB\r\n"), std::string::npos);
    fs::remove(file);
}

TEST(IniFileEncoding, BytesThatAreNeitherGbkNorUtf8AreRefusedWithTheFileName) {
    namespace fs = std::filesystem;
    fs::path file = fs::temp_directory_path() / ("ini-bad-" + std::to_string(::getpid()) + ".ini");
    {
        std::ofstream out(file, std::ios::binary);
        out << "[A]\r\nk=\x80\r\n";
    }
    try {
        IniFile::load(file.string());
        FAIL() << "no error raised";
    } catch (const IniError& e) {
        EXPECT_NE(std::string(e.what()).find(file.filename().string()), std::string::npos);
    }
    fs::remove(file);
}

TEST(IniFileWrite, RefusesLineBreaksThatWouldCorruptTheFile) {
    IniFile ini("unused.ini");
    EXPECT_THROW(ini.writeString("A", "k", "two\r\nlines"), IniError);
    EXPECT_THROW(ini.writeString("A\n[B]", "k", "v"), IniError);
}
