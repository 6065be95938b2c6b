// Values of the store: how a column's declared type decides what a value
// read from it is, and how a statement's parameters are bound.
#include "db/SqliteValues.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "common/IsoDate.h"
#include "common/Text.h"
#include "db/DbError.h"

namespace pos::db::store {

namespace {

// Whether the declared type holds one of the (lower-case) words, letter case
// aside.
bool declaredAs(std::string_view lowerDeclType, std::initializer_list<std::string_view> words) {
    return std::any_of(words.begin(), words.end(), [&](std::string_view w) {
        return lowerDeclType.find(w) != std::string_view::npos;
    });
}

}  // namespace

ColumnKind columnKind(const char* declType) {
    ColumnKind kind;
    if (!declType) {
        return kind;
    }
    const std::string lower = asciiLower(declType);
    kind.boolean = declaredAs(lower, {"bit", "bool"});
    kind.decimal = declaredAs(lower, {"dec", "numeric", "money"});
    kind.dateTime = declaredAs(lower, {"date", "time"});
    return kind;
}

std::vector<ColumnKind> columnKinds(sqlite3_stmt* s) {
    std::vector<ColumnKind> kinds;
    const int n = sqlite3_column_count(s);
    kinds.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        kinds.push_back(columnKind(sqlite3_column_decltype(s, i)));
    }
    return kinds;
}

// A column of the current row, read with the column's declared type in mind
// so that the store hands back what SQL Server would: DATE/TIME columns give
// dates, BIT/BOOL columns booleans, DECIMAL/NUMERIC/MONEY columns exact
// decimals. Anything else keeps its storage class.
Value columnValue(sqlite3_stmt* s, int i, ColumnKind kind) {
    switch (sqlite3_column_type(s, i)) {
        case SQLITE_NULL:
            return Value::null();
        case SQLITE_INTEGER: {
            std::int64_t v = sqlite3_column_int64(s, i);
            if (kind.boolean && (v == 0 || v == 1)) {
                return Value::boolean(v == 1);
            }
            if (kind.decimal) {
                return Value::decimal(std::to_string(v));
            }
            return Value::integer(v);
        }
        case SQLITE_FLOAT: {
            double v = sqlite3_column_double(s, i);
            if (kind.decimal) {
                return Value::decimal(formatFloat(v));
            }
            return Value::floating(v);
        }
        default: {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
            std::string text(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(s, i)));
            if (kind.dateTime) {
                if (std::optional<DateTime> dt = parseIsoDateTime(text, IsoTail::None)) {
                    return Value::dateTime(*dt);
                }
            }
            return Value::text(std::move(text));
        }
    }
}

// Binds the batch's values to the statement's ":Name" markers, names matched
// without regard to letter case. A decimal binds as text: a numeric column's
// affinity turns it into a number, and a text column keeps the digits exactly,
// where binding a double would round the amount before any column saw it.
std::vector<std::string> markerNames(sqlite3_stmt* s) {
    const int count = sqlite3_bind_parameter_count(s);
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    for (int i = 1; i <= count; ++i) {
        const char* marker = sqlite3_bind_parameter_name(s, i);
        if (!marker || marker[0] != ':') {
            throw DbError(std::string("语句中的参数") + (marker ? marker : "?") +
                          "不是命名参数，只支持:Name形式的参数。");
        }
        names.emplace_back(marker + 1);
    }
    return names;
}

namespace {

// A character of a name, as the library reads names.
bool isNameChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || std::isalnum(u) != 0 || c == '_' || c == '$';
}

// Where the literal, quoted name or comment that starts at `at` ends (one
// past it), or `at` when none starts there.
std::size_t skipQuoted(std::string_view text, std::size_t at) {
    const char c = text[at];
    const auto endOf = [&](std::size_t found, std::size_t length) {
        return found == std::string_view::npos ? text.size() : found + length;
    };
    switch (c) {
        case '\'':
        case '"':
        case '`': {
            // A doubled quote stays inside.
            std::size_t i = at + 1;
            while (true) {
                i = text.find(c, i);
                if (i == std::string_view::npos) {
                    return text.size();
                }
                if (i + 1 < text.size() && text[i + 1] == c) {
                    i += 2;
                    continue;
                }
                return i + 1;
            }
        }
        case '[':
            return endOf(text.find(']', at + 1), 1);
        case '-':
            return at + 1 < text.size() && text[at + 1] == '-' ? endOf(text.find('\n', at), 1) : at;
        case '/':
            return at + 1 < text.size() && text[at + 1] == '*' ? endOf(text.find("*/", at + 2), 2)
                                                               : at;
        default:
            return at;
    }
}

}  // namespace

bool numberMarkers(std::string_view text, std::string& numbered, std::vector<std::string>& names,
                   std::vector<std::size_t>& offsets) {
    std::string out;
    out.reserve(text.size());
    std::vector<std::string> found;
    std::vector<std::size_t> at;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (const std::size_t end = skipQuoted(text, i); end != i) {
            out.append(text.substr(i, end - i));
            i = end;
            continue;
        }
        if (c == '?' || c == '@' || c == '$' || c == '#') {
            return false;
        }
        if (c != ':' || i + 1 >= text.size() || !isNameChar(text[i + 1])) {
            out += c;
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (end < text.size() && isNameChar(text[end])) {
            ++end;
        }
        found.emplace_back(text.substr(i + 1, end - i - 1));
        at.push_back(out.size());
        out += '?';
        i = end;
    }
    numbered = std::move(out);
    names = std::move(found);
    offsets = std::move(at);
    return true;
}

void readArgument(sqlite3_value* value, Value& into) {
    switch (sqlite3_value_type(value)) {
        case SQLITE_NULL:
            into.setNull();
            return;
        case SQLITE_INTEGER:
            into.setInteger(sqlite3_value_int64(value));
            return;
        case SQLITE_FLOAT:
            into.setFloat(sqlite3_value_double(value));
            return;
        default: {
            const auto* p = reinterpret_cast<const char*>(sqlite3_value_text(value));
            into.setText(
                std::string_view(p ? p : "", static_cast<std::size_t>(sqlite3_value_bytes(value))));
        }
    }
}

void setResult(sqlite3_context* context, const Value& value) {
    switch (value.type()) {
        case ValueType::Null:
            sqlite3_result_null(context);
            return;
        case ValueType::Integer:
            sqlite3_result_int64(context, value.asInteger());
            return;
        case ValueType::Float:
            sqlite3_result_double(context, value.asFloat());
            return;
        case ValueType::Boolean:
            sqlite3_result_int(context, value.asBoolean() ? 1 : 0);
            return;
        case ValueType::DateTime: {
            const std::string t = formatIsoDateTime(value.asDateTime(), IsoForm::DateTime);
            sqlite3_result_text(context, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
            return;
        }
        case ValueType::Text: {
            const std::string& t = value.asText();
            sqlite3_result_text(context, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
            return;
        }
        case ValueType::Decimal:
        case ValueType::Error: {
            const std::string t = value.toText();
            sqlite3_result_text(context, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
            return;
        }
    }
}

int bindParameters(sqlite3_stmt* s, const std::vector<std::string>& markers,
                   const Parameters& params, std::size_t first, bool copyText) {
    const sqlite3_destructor_type inPlace = copyText ? SQLITE_TRANSIENT : SQLITE_STATIC;
    // Names are unique without regard to letter case, so where the search
    // starts does not change what it finds; the values usually come in the
    // markers' order, so it starts after the last one found.
    std::size_t hint = 0;
    for (int i = 1; i <= static_cast<int>(markers.size()); ++i) {
        const std::string_view name = markers[static_cast<std::size_t>(i - 1)];
        const std::size_t place = first + static_cast<std::size_t>(i - 1);
        const Value* found =
            place < params.size() && params[place].first.empty() ? &params[place].second : nullptr;
        for (std::size_t k = 0; k < params.size() && !found; ++k) {
            const std::size_t at = (hint + k) % params.size();
            if (params[at].first.size() == name.size() &&
                equalsIgnoreCase(params[at].first, name)) {
                found = &params[at].second;
                hint = at + 1;
            }
        }
        if (!found) {
            throw DbError("没有给参数:" + std::string(name) + "提供值。");
        }
        const Value& v = *found;
        int rc = SQLITE_OK;
        switch (v.type()) {
            case ValueType::Null:
                rc = sqlite3_bind_null(s, i);
                break;
            case ValueType::Integer:
                rc = sqlite3_bind_int64(s, i, v.asInteger());
                break;
            case ValueType::Float:
                rc = sqlite3_bind_double(s, i, v.asFloat());
                break;
            case ValueType::Boolean:
                rc = sqlite3_bind_int(s, i, v.asBoolean() ? 1 : 0);
                break;
            case ValueType::DateTime:
                rc = sqlite3_bind_text(s, i,
                                       formatIsoDateTime(v.asDateTime(), IsoForm::DateTime).c_str(),
                                       -1, SQLITE_TRANSIENT);
                break;
            case ValueType::Text: {
                // A text without a NUL inside goes as NUL-terminated, which
                // the library then knows: else each length() of a check
                // copies the text to terminate it.
                const std::string& t = v.asText();
                const int bytes =
                    t.find('\0') != std::string::npos ? static_cast<int>(t.size()) : -1;
                rc = sqlite3_bind_text(s, i, t.c_str(), bytes, inPlace);
                break;
            }
            case ValueType::Decimal:
            case ValueType::Error: {
                std::string t = v.toText();
                rc =
                    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
                break;
            }
        }
        if (rc != SQLITE_OK) {
            return rc;
        }
    }
    return SQLITE_OK;
}

std::vector<std::string> columnNamesOf(sqlite3_stmt* s) {
    std::vector<std::string> names;
    int n = sqlite3_column_count(s);
    for (int i = 0; i < n; ++i) {
        const char* c = sqlite3_column_name(s, i);
        names.emplace_back(c ? c : "");
    }
    return names;
}

// The current row; `kinds` is filled from the statement on the first row, as
// the declared types are those of the statement as it ran.
void readRow(sqlite3_stmt* s, std::vector<ColumnKind>& kinds, std::vector<Value>& row) {
    if (kinds.empty()) {
        kinds = columnKinds(s);
    }
    const int n = static_cast<int>(kinds.size());
    row.clear();
    row.reserve(kinds.size());
    for (int i = 0; i < n; ++i) {
        row.push_back(columnValue(s, i, kinds[static_cast<std::size_t>(i)]));
    }
}

}  // namespace pos::db::store
