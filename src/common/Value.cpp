// Text forms of values.
#include "common/Value.h"

#include "common/IsoDate.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace pos {

std::string formatFloat(double v) {
    if (std::isnan(v)) {
        return "NaN";
    }
    if (std::isinf(v)) {
        return v < 0 ? "-INF" : "INF";
    }
    if (v == 0) {
        return "0";
    }
    // std::to_chars writes as printf does in the "C" locale, whatever the
    // process's locale, and many times faster.
    char buf[400];
    if (const double mag = std::fabs(v); mag >= 1e-4 && mag < 1e15) {
        // A price or an amount: its shortest digits are its 15-digit form
        // whenever there are at most 15 of them, and cost far less to find.
        char* end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed).ptr;
        char* first = std::find_if(buf, end, [](char c) { return c >= '1' && c <= '9'; });
        if (end - first - (std::find(first, end, '.') != end ? 1 : 0) <= 15) {
            return std::string(buf, end);
        }
    }
    std::string s(buf, std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15).ptr);
    if (s.find('e') == std::string::npos) {
        return s;
    }
    // Write plainly when that is at most as long as a 15-digit mantissa would
    // need; keep the exponent form for magnitudes beyond that.
    double mag = std::fabs(v);
    if (mag >= 1e-6 && mag < 1e21) {
        int exponent = static_cast<int>(std::floor(std::log10(mag)));
        int decimals = std::max(0, 14 - exponent);
        s.assign(buf,
                 std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals).ptr);
        if (s.find('.') != std::string::npos) {
            while (!s.empty() && s.back() == '0') {
                s.pop_back();
            }
            if (!s.empty() && s.back() == '.') {
                s.pop_back();
            }
        }
    }
    return s;
}

namespace {

// The error values a cell can hold, by their code in an .xls file.
constexpr std::pair<std::string_view, std::uint8_t> kCellErrors[] = {
    {"#NULL!", 0x00}, {"#DIV/0!", 0x07}, {"#VALUE!", 0x0F}, {"#REF!", 0x17},
    {"#NAME?", 0x1D}, {"#NUM!", 0x24},   {"#N/A", 0x2A},    {"#GETTING_DATA", 0x2B}};

}  // namespace

std::string errorText(std::uint8_t code) {
    for (const auto& [text, known] : kCellErrors) {
        if (known == code) {
            return std::string(text);
        }
    }
    return "#N/A";
}

std::optional<std::uint8_t> errorCodeOf(std::string_view text) {
    for (const auto& [name, code] : kCellErrors) {
        if (text == name) {
            return code;
        }
    }
    return std::nullopt;
}

std::string Value::toText() const {
    switch (type()) {
        case ValueType::Null:
            return {};
        case ValueType::Integer:
            return std::to_string(asInteger());
        case ValueType::Float:
            return formatFloat(asFloat());
        case ValueType::Decimal:
            return asDecimalDigits();
        case ValueType::Text:
            return asText();
        case ValueType::Boolean:
            return asBoolean() ? "True" : "False";
        case ValueType::DateTime:
            return formatIsoDateTime(asDateTime(), IsoForm::DateOnlyWhenMidnight);
        case ValueType::Error:
            return errorText(errorCode());
    }
    return {};
}

namespace {

std::int64_t roundHalfEven(double v) {
    if (!std::isfinite(v) || std::fabs(v) >= 9.2e18) {
        throw std::invalid_argument("number out of the integer range: " + formatFloat(v));
    }
    return static_cast<std::int64_t>(std::nearbyint(v));  // default rounding mode: half to even
}

std::int64_t parseInteger(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    std::size_t e = s.find_last_not_of(" \t\r\n");
    if (b == std::string::npos) {
        throw std::invalid_argument("'" + s + "' is not a valid integer value");
    }
    std::string t = s.substr(b, e - b + 1);
    char* end = nullptr;
    errno = 0;
    long long i = std::strtoll(t.c_str(), &end, 10);
    if (errno == 0 && end && *end == '\0') {
        return i;
    }
    errno = 0;
    double d = std::strtod(t.c_str(), &end);
    if (errno == 0 && end && *end == '\0') {
        return roundHalfEven(d);
    }
    throw std::invalid_argument("'" + s + "' is not a valid integer value");
}

}  // namespace

std::int64_t Value::toInteger() const {
    switch (type()) {
        case ValueType::Null:
            return 0;
        case ValueType::Integer:
            return asInteger();
        case ValueType::Float:
            return roundHalfEven(asFloat());
        case ValueType::Decimal:
            return parseInteger(asDecimalDigits());
        case ValueType::Text:
            return parseInteger(asText());
        case ValueType::Boolean:
            return asBoolean() ? -1 : 0;
        case ValueType::DateTime:
        case ValueType::Error:
            break;
    }
    throw std::invalid_argument("'" + toText() + "' is not a valid integer value");
}

}  // namespace pos
