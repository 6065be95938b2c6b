// The text and integer forms of values, as the export writes them and the
// merge reads them.
#include <gtest/gtest.h>

#include <optional>

#include "common/IsoDate.h"
#include "common/Text.h"
#include "common/Value.h"

namespace pos {
namespace {

struct TextCase {
    const char* name;
    Value value;
    const char* text;
};

TEST(ValueText, ExportForms) {
    const TextCase cases[] = {
        {"null is empty", Value(), ""},
        {"integer", Value::integer(-42), "-42"},
        {"big integer", Value::integer(9007199254740993LL), "9007199254740993"},
        {"decimal kept exactly", Value::decimal("12.5000"), "12.5000"},
        {"float plain", Value::floating(12.5), "12.5"},
        {"float whole", Value::floating(3.0), "3"},
        {"float 15 digits", Value::floating(0.1 + 0.2), "0.3"},
        {"float large", Value::floating(123456789012345.0), "123456789012345"},
        {"float small", Value::floating(0.000125), "0.000125"},
        {"true", Value::boolean(true), "True"},
        {"false", Value::boolean(false), "False"},
        {"date at midnight", Value::dateTime({2024, 2, 29, 0, 0, 0, 0}), "2024-02-29"},
        {"date and time", Value::dateTime({2024, 1, 5, 7, 8, 9, 0}), "2024-01-05 07:08:09"},
        {"error", Value::error(0x07), "#DIV/0!"},
        {"text", Value::text("宫保鸡丁"), "宫保鸡丁"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(c.value.toText(), c.text) << c.name;
    }
}

// A date as a store column or a workbook's date cell holds it.
TEST(IsoDate, ReadsEveryDayOfTheCalendarAndNoOther) {
    struct Case {
        const char* text;
        IsoTail tail;
        std::optional<DateTime> read;
    };
    const Case cases[] = {
        {"2026-12-31", IsoTail::None, DateTime{2026, 12, 31, 0, 0, 0, 0}},
        {"2024-02-29", IsoTail::None, DateTime{2024, 2, 29, 0, 0, 0, 0}},
        {"2000-02-29 23:59:59.9995", IsoTail::None, DateTime{2000, 2, 29, 23, 59, 59, 999}},
        {"2026-01-31T08:05:00Z", IsoTail::Ignored, DateTime{2026, 1, 31, 8, 5, 0, 0}},
        {"2026-12-32", IsoTail::None, std::nullopt},
        {"2026-04-31", IsoTail::None, std::nullopt},
        {"2023-02-29", IsoTail::None, std::nullopt},
        {"1900-02-29", IsoTail::None, std::nullopt},
        {"2026-13-01", IsoTail::None, std::nullopt},
        {"2026-12-31 24:00:00", IsoTail::None, std::nullopt},
        {"2026-12-31Z", IsoTail::None, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseIsoDateTime(c.text, c.tail), c.read) << c.text;
    }
}

TEST(ValueInteger, Conversions) {
    EXPECT_EQ(Value().toInteger(), 0);
    EXPECT_EQ(Value::text(" 0007 ").toInteger(), 7);
    EXPECT_EQ(Value::floating(2.5).toInteger(), 2);  // half to even
    EXPECT_EQ(Value::floating(3.5).toInteger(), 4);
    EXPECT_EQ(Value::text("12.5").toInteger(), 12);
    EXPECT_EQ(Value::decimal("13.5000").toInteger(), 14);
    EXPECT_THROW(Value::text("abc").toInteger(), std::invalid_argument);
    EXPECT_THROW(Value::text("").toInteger(), std::invalid_argument);
    EXPECT_NE(Value::boolean(false), Value::error(0));
}

TEST(TextHelpers, BlankAndTrim) {
    EXPECT_TRUE(isBlank(" \t\r\n\x01"));
    EXPECT_FALSE(isBlank(" a "));
    EXPECT_EQ(trimmed("\x02 菜品信息 \t"), "菜品信息");
    EXPECT_TRUE(equalsIgnoreCase("HALLTABLE", "hallTable"));
    EXPECT_FALSE(equalsIgnoreCase("Menu", "Menus"));
}

}  // namespace
}  // namespace pos
