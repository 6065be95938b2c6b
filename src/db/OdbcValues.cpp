// Values of the ODBC back end: columns fetched by kind, long texts read in
// pieces, and parameters bound with the storage they need.
#include "db/OdbcValues.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/Text.h"
#include "common/Unicode.h"
#include "db/DbError.h"

namespace pos::db::odbc {

namespace {

// "12.5000" -> "12.5", ".50" -> "0.5", "-0.0000" -> "0": money keeps its
// exact digits without the scale's padding.
std::string normalisedDecimal(std::string s) {
    s = trimmed(s);
    if (s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0') {
            s.pop_back();
        }
        if (!s.empty() && s.back() == '.') {
            s.pop_back();
        }
    }
    bool negative = !s.empty() && s.front() == '-';
    std::string body = negative ? s.substr(1) : s;
    if (body.empty() || body.front() == '.') {
        body.insert(body.begin(), '0');
    }
    if (body == "0") {
        negative = false;
    }
    return negative ? "-" + body : body;
}

}  // namespace

Fetch fetchKind(SQLSMALLINT sqlType) {
    switch (sqlType) {
        case SQL_DECIMAL:
        case SQL_NUMERIC:
            return Fetch::Decimal;
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
        case SQL_BIGINT:
            return Fetch::Integer;
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
            return Fetch::Float;
        case SQL_BIT:
            return Fetch::Boolean;
        case SQL_TYPE_DATE:
        case SQL_TYPE_TIMESTAMP:
        case SQL_DATETIME:
        case -155:  // datetimeoffset
            return Fetch::Timestamp;
        case SQL_TYPE_TIME:
        case -154:  // time(n)
            return Fetch::Time;
        default:
            return Fetch::Text;
    }
}

Value readColumn(const Handle& stmt, SQLUSMALLINT column, Fetch kind) {
    SQLHSTMT h = stmt.get();
    SQLLEN indicator = 0;
    SQLRETURN rc;
    switch (kind) {
        case Fetch::Integer: {
            SQLBIGINT v = 0;
            rc = SQLGetData(h, column, SQL_C_SBIGINT, &v, sizeof v, &indicator);
            stmt.check(rc, "无法读取字段的值");
            return indicator == SQL_NULL_DATA ? Value::null() : Value::integer(v);
        }
        case Fetch::Float: {
            double v = 0;
            rc = SQLGetData(h, column, SQL_C_DOUBLE, &v, sizeof v, &indicator);
            stmt.check(rc, "无法读取字段的值");
            return indicator == SQL_NULL_DATA ? Value::null() : Value::floating(v);
        }
        case Fetch::Boolean: {
            unsigned char v = 0;
            rc = SQLGetData(h, column, SQL_C_BIT, &v, sizeof v, &indicator);
            stmt.check(rc, "无法读取字段的值");
            return indicator == SQL_NULL_DATA ? Value::null() : Value::boolean(v != 0);
        }
        case Fetch::Timestamp: {
            SQL_TIMESTAMP_STRUCT v{};
            rc = SQLGetData(h, column, SQL_C_TYPE_TIMESTAMP, &v, sizeof v, &indicator);
            stmt.check(rc, "无法读取字段的值");
            if (indicator == SQL_NULL_DATA) {
                return Value::null();
            }
            return Value::dateTime(DateTime{v.year, v.month, v.day, v.hour, v.minute, v.second,
                                            static_cast<int>(v.fraction / 1000000)});
        }
        case Fetch::Time: {
            SQL_TIME_STRUCT v{};
            rc = SQLGetData(h, column, SQL_C_TYPE_TIME, &v, sizeof v, &indicator);
            stmt.check(rc, "无法读取字段的值");
            if (indicator == SQL_NULL_DATA) {
                return Value::null();
            }
            DateTime t;  // the time of day on the spreadsheet's day zero
            t.hour = v.hour;
            t.minute = v.minute;
            t.second = v.second;
            return Value::dateTime(t);
        }
        case Fetch::Decimal: {
            char buffer[80] = {};
            rc = SQLGetData(h, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
            stmt.check(rc, "无法读取字段的值");
            return indicator == SQL_NULL_DATA ? Value::null()
                                              : Value::decimal(normalisedDecimal(buffer));
        }
        case Fetch::Text:
            break;
    }
    // Text in pieces: SQLGetData returns SQL_SUCCESS_WITH_INFO (01004) while
    // more of a long value remains.
    std::u16string text;
    std::vector<SQLWCHAR> buffer(2048);
    const SQLLEN bytes = static_cast<SQLLEN>(buffer.size() * sizeof(SQLWCHAR));
    for (;;) {
        rc = SQLGetData(h, column, SQL_C_WCHAR, buffer.data(), bytes, &indicator);
        if (rc == SQL_NO_DATA) {
            break;
        }
        stmt.check(rc, "无法读取字段的值");
        if (indicator == SQL_NULL_DATA) {
            return Value::null();
        }
        std::size_t units;
        if (indicator == SQL_NO_TOTAL || indicator >= bytes) {
            units = buffer.size() - 1;  // the buffer less its terminating zero
        } else {
            units = static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
        }
        text.append(reinterpret_cast<const char16_t*>(buffer.data()), units);
        if (rc == SQL_SUCCESS) {
            break;
        }
    }
    return Value::text(toUtf8(std::u16string_view(text.data(), text.size())));
}

const Value* findParameter(const Parameters& params, const std::string& name) {
    for (const auto& [key, value] : params) {
        if (equalsIgnoreCase(key, name)) {
            return &value;
        }
    }
    return nullptr;
}

void bindParameter(const Handle& stmt, SQLUSMALLINT number, const std::string& name,
                   const Value& value, BoundParameter& p) {
    SQLHSTMT h = stmt.get();
    SQLRETURN rc = SQL_SUCCESS;
    switch (value.type()) {
        case ValueType::Null:
            p.indicator = SQL_NULL_DATA;
            rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 1, 0,
                                  nullptr, 0, &p.indicator);
            break;
        case ValueType::Integer:
            if (value.asInteger() >= INT32_MIN && value.asInteger() <= INT32_MAX) {
                p.integer32 = static_cast<SQLINTEGER>(value.asInteger());
                rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                      &p.integer32, 0, &p.indicator);
            } else {
                p.integer = value.asInteger();
                rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                      &p.integer, 0, &p.indicator);
            }
            break;
        case ValueType::Float:
            p.floating = value.asFloat();
            rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 0, 0,
                                  &p.floating, 0, &p.indicator);
            break;
        case ValueType::Decimal: {
            // Sent as its digits with the precision and scale they need, so
            // the server converts an exact number, never a float.
            p.narrowText = trimmed(value.asDecimalDigits());
            std::size_t point = p.narrowText.find('.');
            SQLSMALLINT scale = 0;
            if (point != std::string::npos) {
                scale = static_cast<SQLSMALLINT>(p.narrowText.size() - point - 1);
            }
            SQLULEN precision =
                static_cast<SQLULEN>(std::count_if(p.narrowText.begin(), p.narrowText.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; }));
            precision = std::clamp<SQLULEN>(std::max<SQLULEN>(precision, scale + 1), 1, 38);
            scale = std::min<SQLSMALLINT>(scale, static_cast<SQLSMALLINT>(precision));
            p.indicator = static_cast<SQLLEN>(p.narrowText.size());
            rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_DECIMAL, precision,
                                  scale, p.narrowText.data(), p.indicator, &p.indicator);
            break;
        }
        case ValueType::Text: {
            p.wideText = toUtf16(value.asText());
            const std::size_t units = p.wideText.size();
            p.indicator = static_cast<SQLLEN>(units * sizeof(SQLWCHAR));
            // nvarchar holds up to 4000 characters; a longer text goes as nvarchar(max).
            SQLSMALLINT sqlType = units > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
            rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_WCHAR, sqlType,
                                  std::max<SQLULEN>(units, 1), 0, wide(p.wideText), p.indicator,
                                  &p.indicator);
            break;
        }
        case ValueType::Boolean:
            p.boolean = value.asBoolean() ? 1 : 0;
            rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_BIT, SQL_BIT, 1, 0, &p.boolean,
                                  0, &p.indicator);
            break;
        case ValueType::DateTime: {
            const DateTime& d = value.asDateTime();
            p.timestamp.year = static_cast<SQLSMALLINT>(d.year);
            p.timestamp.month = static_cast<SQLUSMALLINT>(d.month);
            p.timestamp.day = static_cast<SQLUSMALLINT>(d.day);
            p.timestamp.hour = static_cast<SQLUSMALLINT>(d.hour);
            p.timestamp.minute = static_cast<SQLUSMALLINT>(d.minute);
            p.timestamp.second = static_cast<SQLUSMALLINT>(d.second);
            p.timestamp.fraction = static_cast<SQLUINTEGER>(d.millisecond) * 1000000u;
            rc = SQLBindParameter(h, number, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                                  SQL_TYPE_TIMESTAMP, 23, 3, &p.timestamp, 0, &p.indicator);
            break;
        }
        case ValueType::Error:
            throw DbError("参数:" + name + "的值是电子表格的错误值" + errorText(value.errorCode()) +
                          "，数据库的列无法保存它，请改正该单元格后重试。");
    }
    stmt.check(rc, "无法绑定参数:" + name);
}

}  // namespace pos::db::odbc
