// The one value type that crosses the layers: a database field, a statement
// parameter and a workbook cell all hold a Value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace pos {

// A calendar date and time of day, without time zone.
struct DateTime {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;

    bool operator==(const DateTime&) const = default;
};

// An exact decimal kept as its text digits ("12.50", "-3"), so that money and
// decimal columns never pass through floating point.
struct Decimal {
    std::string digits;
    bool operator==(const Decimal&) const = default;
};

// A spreadsheet error value (#DIV/0! and friends), kept apart from booleans.
struct CellError {
    std::uint8_t code = 0;  // BIFF error code: 0x00 #NULL!, 0x07 #DIV/0!, 0x0F #VALUE!, ...
    bool operator==(const CellError&) const = default;
};

enum class ValueType { Null, Integer, Float, Decimal, Text, Boolean, DateTime, Error };

class Value {
public:
    Value() = default;
    static Value null() { return Value(); }
    static Value integer(std::int64_t v) { return Value(Storage(v)); }
    static Value floating(double v) { return Value(Storage(v)); }
    static Value decimal(std::string digits) { return Value(Storage(Decimal{std::move(digits)})); }
    static Value text(std::string utf8) { return Value(Storage(std::move(utf8))); }
    // Make this value NULL, an integer, a float or a text in place: a value
    // that is filled again for each row reuses what it holds.
    void setNull() { m_storage.emplace<std::monostate>(); }
    void setInteger(std::int64_t v) { setHeld(v); }
    void setFloat(double v) { setHeld(v); }
    void setText(std::string_view utf8) {
        if (auto* held = std::get_if<std::string>(&m_storage)) {
            held->assign(utf8);
        } else {
            m_storage.emplace<std::string>(utf8);
        }
    }
    static Value boolean(bool v) { return Value(Storage(v)); }
    static Value dateTime(const DateTime& v) { return Value(Storage(v)); }
    static Value error(std::uint8_t code) { return Value(Storage(CellError{code})); }

    ValueType type() const { return static_cast<ValueType>(m_storage.index()); }
    bool isNull() const { return type() == ValueType::Null; }

    // Typed access; each throws std::bad_variant_access on the wrong type.
    std::int64_t asInteger() const { return std::get<std::int64_t>(m_storage); }
    double asFloat() const { return std::get<double>(m_storage); }
    const std::string& asDecimalDigits() const { return std::get<Decimal>(m_storage).digits; }
    const std::string& asText() const { return std::get<std::string>(m_storage); }
    bool asBoolean() const { return std::get<bool>(m_storage); }
    const DateTime& asDateTime() const { return std::get<DateTime>(m_storage); }
    std::uint8_t errorCode() const { return std::get<CellError>(m_storage).code; }

    // The text form used on export: empty for NULL, integers and decimals
    // plainly, floating point with up to 15 significant digits, True/False,
    // dates as YYYY-MM-DD hh:mm:ss (the time left out at midnight), errors as
    // the spreadsheet shows them (#DIV/0!).
    std::string toText() const;

    // The value read as an integer the way a field's "as integer" reads it:
    // NULL gives 0, numbers are rounded half to even, text is parsed (throws
    // std::invalid_argument when it is not a number).
    std::int64_t toInteger() const;

    bool operator==(const Value&) const = default;

private:
    using Storage = std::variant<std::monostate, std::int64_t, double, Decimal, std::string, bool,
                                 DateTime, CellError>;
    explicit Value(Storage s) : m_storage(std::move(s)) {}
    template <class T>
    void setHeld(T v) {
        if (auto* held = std::get_if<T>(&m_storage)) {
            *held = v;
        } else {
            m_storage.emplace<T>(v);
        }
    }
    Storage m_storage;
};

// Formats a double with up to 15 significant digits, no exponent for
// magnitudes a point-of-sale database holds, no trailing zeros ("12.5", "3").
std::string formatFloat(double v);

// "#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
// "#GETTING_DATA"; "#N/A" for a code that is none of these.
std::string errorText(std::uint8_t code);

// The code of an error value's text ("#DIV/0!" -> 0x07); nullopt for a text
// that is no error value.
std::optional<std::uint8_t> errorCodeOf(std::string_view text);

}  // namespace pos
