// The SQL Server back end: unixODBC with the FreeTDS driver. Every result is
// read whole when its batch runs (FreeTDS allows one active result per
// connection), so several query objects can hold rows at the same time.
#include "db/OdbcBackend.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Cleanup.h"
#include "common/Text.h"
#include "common/Unicode.h"
#include "db/DbError.h"
#include "db/MemoryCursor.h"
#include "db/SqlServerDialect.h"

namespace pos::db {

namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR is UTF-16");

SQLWCHAR* wide(std::u16string& s) {
    return reinterpret_cast<SQLWCHAR*>(s.data());
}

// ---- handles and diagnostics -------------------------------------------------

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// One diagnostic record of a handle.
struct Diagnostic {
    std::string state;  // SQLSTATE
    SQLINTEGER native;  // the server's own error number
    std::string text;
};

// Every diagnostic record of a handle, in order.
std::vector<Diagnostic> diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::vector<Diagnostic> out;
    if (handle == SQL_NULL_HANDLE) {
        return out;
    }
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::u16string message(1024, u'\0');
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state, &native, wide(message),
                                      static_cast<SQLSMALLINT>(message.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
            message.assign(static_cast<std::size_t>(length) + 1, u'\0');
            rc = SQLGetDiagRecW(type, handle, record, state, &native, wide(message),
                                static_cast<SQLSMALLINT>(message.size()), &length);
        }
        if (!succeeded(rc)) {
            break;
        }
        message.resize(std::min<std::size_t>(
            static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)), message.size()));
        out.push_back({toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(state), 5)),
                       native, toUtf8(std::u16string_view(message.data(), message.size()))});
    }
    return out;
}

// The kind of a server error: that of the first record whose SQLSTATE, or
// native error number, tells one.
DbFault serverFault(const std::vector<Diagnostic>& records) {
    for (const Diagnostic& r : records) {
        const std::string_view state = r.state;
        if (state == "23000") {
            if (r.native == 2627 || r.native == 2601) {
                return DbFault::DuplicateKey;
            }
            return r.native == 515 ? DbFault::MissingValue : DbFault::Refused;
        }
        if (state == "22001") {
            return DbFault::TextTooLong;
        }
        if (state.substr(0, 2) == "22") {
            return DbFault::TypeMismatch;
        }
        if (state.substr(0, 2) == "08") {
            return DbFault::Connection;
        }
        if (state.substr(0, 2) == "28") {
            return DbFault::Login;
        }
        if (state == "HYT00" || state == "HYT01") {
            return DbFault::Timeout;
        }
        if (state == "40001" || r.native == 1205) {
            return DbFault::Deadlock;
        }
    }
    return DbFault::Other;
}

// The reason for a server error, every record ("[SQLSTATE] message", one
// per line) in the parentheses.
std::string serverReason(const std::vector<Diagnostic>& records) {
    std::string all;
    for (const Diagnostic& r : records) {
        if (!all.empty()) {
            all += '\n';
        }
        all += '[' + r.state + "] " + r.text;
    }
    return faultReason(serverFault(records), all);
}

// `what` went wrong, and why when the handle says.
std::string failureText(const std::string& what, const std::vector<Diagnostic>& records) {
    return records.empty() ? what + "。" : what + "：" + serverReason(records);
}

class Handle {
public:
    Handle(SQLSMALLINT type, SQLHANDLE parent) : m_type(type) {
        if (!succeeded(SQLAllocHandle(type, parent, &m_handle))) {
            std::vector<Diagnostic> records = diagnostics(type == SQL_HANDLE_ENV   ? SQL_HANDLE_ENV
                                                          : type == SQL_HANDLE_DBC ? SQL_HANDLE_ENV
                                                                                   : SQL_HANDLE_DBC,
                                                          parent);
            m_handle = SQL_NULL_HANDLE;
            throw DbError(failureText("ODBC驱动管理器无法分配句柄，请检查unixODBC的安装", records));
        }
    }
    ~Handle() {
        if (m_handle != SQL_NULL_HANDLE) {
            SQLFreeHandle(m_type, m_handle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    SQLHANDLE get() const { return m_handle; }
    SQLSMALLINT type() const { return m_type; }

    // A statement handle whose statements the driver cancels after
    // `seconds`; a cancelled statement then fails with a message that says
    // so rather than with the driver's own words alone. A driver without
    // query time-outs is left to its own.
    void setQueryTimeout(int seconds) {
        if (succeeded(SQLSetStmtAttrW(m_handle, SQL_ATTR_QUERY_TIMEOUT,
                                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)),
                                      SQL_IS_UINTEGER))) {
            m_timeoutSeconds = seconds;
        }
    }

    // Throws DbError with `what` and the handle's diagnostic records.
    void check(SQLRETURN rc, const std::string& what) const {
        if (!succeeded(rc) && rc != SQL_NO_DATA) {
            const std::vector<Diagnostic> records = diagnostics(m_type, m_handle);
            const DbFault fault = records.empty() ? DbFault::Other : serverFault(records);
            if (fault == DbFault::Timeout && m_timeoutSeconds > 0) {
                throw DbError(timeoutText(records), fault);
            }
            throw DbError(failureText(what, records), fault);
        }
    }

private:
    std::string timeoutText(const std::vector<Diagnostic>& records) const {
        std::string all;
        for (const Diagnostic& r : records) {
            all += (all.empty() ? "" : "\n") + ('[' + r.state + "] " + r.text);
        }
        return "语句在" + std::to_string(m_timeoutSeconds) +
               "秒内没有执行完，已被取消。服务器可能过忙，或被另一个会话的锁挡住，请稍后"
               "再试（" +
               all + "）";
    }

    SQLSMALLINT m_type;
    SQLHANDLE m_handle = SQL_NULL_HANDLE;
    int m_timeoutSeconds = 0;
};

// ---- results -----------------------------------------------------------------

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

enum class Fetch { Text, Decimal, Integer, Float, Boolean, Timestamp, Time };

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

// One column of the current row; the statement has just been fetched.
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

// ---- parameters --------------------------------------------------------------

// The storage behind one bound parameter; it must outlive the execution.
struct BoundParameter {
    std::u16string wideText;
    std::string narrowText;
    SQLBIGINT integer = 0;
    SQLINTEGER integer32 = 0;
    double floating = 0;
    unsigned char boolean = 0;
    SQL_TIMESTAMP_STRUCT timestamp{};
    SQLLEN indicator = 0;
};

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

// ---- the back end -------------------------------------------------------------

class OdbcBackend : public Backend {
public:
    OdbcBackend(const ConnectionText& text, const ConnectionSettings& settings)
        : m_env(SQL_HANDLE_ENV, SQL_NULL_HANDLE),
          m_dbc(allocateConnection()),
          m_queryTimeoutSeconds(std::max(settings.queryTimeoutSeconds, 1)),
          m_dialect(settings.odbcDialect ? settings.odbcDialect
                                         : std::make_shared<const SqlServerDialect>()) {
        const bool raw = !settings.odbcConnectionString.empty();
        std::string connectionString =
            raw ? settings.odbcConnectionString : odbcConnectionString(text, settings);
        std::string server = trimmed(text.get("Data Source").value_or(""));

        m_dbc.check(SQLSetConnectAttrW(m_dbc.get(), SQL_ATTR_LOGIN_TIMEOUT,
                                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(
                                           std::max(settings.loginTimeoutSeconds, 1))),
                                       SQL_IS_UINTEGER),
                    "无法设置登录的等待时间");

        std::u16string wideString = toUtf16(connectionString);
        SQLSMALLINT outLength = 0;
        SQLRETURN rc = SQLDriverConnectW(m_dbc.get(), nullptr, wide(wideString),
                                         static_cast<SQLSMALLINT>(wideString.size()), nullptr, 0,
                                         &outLength, SQL_DRIVER_NOPROMPT);
        if (!succeeded(rc)) {
            const std::vector<Diagnostic> records = diagnostics(SQL_HANDLE_DBC, m_dbc.get());
            // The driver manager could not load the driver: it says so with
            // a general warning of its own (no native number) or IM002.
            const bool noDriver =
                !records.empty() && (records[0].state == "IM002" ||
                                     (records[0].state == "01000" && records[0].native == 0));
            if (raw) {
                // The string may carry a password: it is never repeated.
                throw DbError(failureText(noDriver ? "ODBC连接串所指的驱动或数据源没有在unixODBC中"
                                                     "登记，请用“odbcinst -q -d”查看已登记的驱动"
                                                   : "无法通过ODBC连接串连接到数据库",
                                          records));
            }
            if (noDriver && asciiLower(server.substr(0, 4)) == "dsn=") {
                throw DbError(failureText("数据源“" + trimmed(server.substr(4)) +
                                              "”或它所指的驱动没有在unixODBC中登记，请用"
                                              "“odbcinst -q -s”查看odbc.ini中的数据源",
                                          records));
            }
            if (noDriver && !settings.odbcDriver.empty()) {
                throw DbError(failureText("ODBC驱动“" + settings.odbcDriver +
                                              "”没有安装或没有在unixODBC中登记，请用"
                                              "“odbcinst -q -d”查看已登记的驱动",
                                          records));
            }
            if (noDriver) {
                throw DbError(failureText(
                    "FreeTDS ODBC驱动没有安装或没有在unixODBC中登记，请运行scripts/install-deps，"
                    "或用“odbcinst -i -d -f /usr/share/tdsodbc/odbcinst.ini”登记它",
                    records));
            }
            throw DbError(failureText("无法连接到SQL Server“" + server + "”", records) +
                          "\n请检查数据源（主机、主机,端口或主机\\实例）、服务器是否在运行并接受TCP"
                          "连接，以及用户名和密码。登录最多等待" +
                          std::to_string(settings.loginTimeoutSeconds) + "秒。");
        }
        m_connected = true;
    }

    ~OdbcBackend() override {
        m_prepared.clear();
        if (m_connected) {
            if (m_inTransaction) {
                SQLEndTran(SQL_HANDLE_DBC, m_dbc.get(), SQL_ROLLBACK);
            }
            SQLDisconnect(m_dbc.get());
        }
    }

    std::unique_ptr<Cursor> run(const std::string& batch, const Parameters& params,
                                bool wantRows) override {
        try {
            return runBatch(batch, params, wantRows);
        } catch (const DbError&) {
            if (m_inTransaction) {
                noticeEndedTransaction();
            }
            throw;
        }
    }

    std::unique_ptr<Cursor> runBatch(const std::string& batch, const Parameters& params,
                                     bool wantRows) {
        std::vector<std::string> order;
        std::string sql = rewriteNamedParameters(batch, order);
        if (order.empty()) {
            // Without parameters the batch goes as plain text: a "use" in it
            // then changes the connection's database, which it would not do
            // inside the procedure call that a prepared statement becomes.
            Handle stmt(SQL_HANDLE_STMT, m_dbc.get());
            stmt.setQueryTimeout(m_queryTimeoutSeconds);
            std::u16string text = toUtf16(sql);
            SQLRETURN rc =
                SQLExecDirectW(stmt.get(), wide(text), static_cast<SQLINTEGER>(text.size()));
            stmt.check(rc, "语句执行失败");
            return collectResults(stmt, wantRows);
        }

        Handle& stmt = preparedStatement(sql);
        std::vector<BoundParameter> bound(order.size());
        try {
            for (std::size_t k = 0; k < order.size(); ++k) {
                const Value* value = findParameter(params, order[k]);
                if (value == nullptr) {
                    throw DbError("没有给参数:" + order[k] + "提供值。");
                }
                bindParameter(stmt, static_cast<SQLUSMALLINT>(k + 1), order[k], *value, bound[k]);
            }
            stmt.check(SQLExecute(stmt.get()), "语句执行失败");
            std::unique_ptr<Cursor> result = collectResults(stmt, wantRows);
            release(stmt);
            return result;
        } catch (...) {
            release(stmt);
            throw;
        }
    }

    void beginTransaction() override {
        m_dbc.check(
            SQLSetConnectAttrW(m_dbc.get(), SQL_ATTR_AUTOCOMMIT,
                               reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER),
            "无法开始事务");
        m_inTransaction = true;
    }

    void commit() override { endTransaction(SQL_COMMIT, "无法提交事务"); }

    void rollback() override { endTransaction(SQL_ROLLBACK, "无法回滚事务"); }

    bool inTransaction() override { return m_inTransaction; }

    const Dialect& dialect() const override { return *m_dialect; }

    // An exclusive application lock of the session, named after the tool and
    // the database, in the current database: two machines that import into
    // one database take turns, and the server releases the lock itself when
    // a session ends without releasing it.
    std::unique_ptr<ImportLock> lockForImport(const std::string& database,
                                              int waitSeconds) override {
        const std::string resource =
            m_dialect->stringLiteral("pos-transfer:" + trimmed(database).substr(0, 200));
        auto cursor = run(
            "declare @result int\r\n"
            "exec @result = sp_getapplock @Resource = " +
                resource +
                ", @LockMode = 'Exclusive', @LockOwner = 'Session', "
                "@LockTimeout = " +
                std::to_string(std::max(waitSeconds, 0) * 1000) + "\r\nselect @result as result",
            {}, true);
        std::vector<Value> row;
        if (!cursor || !cursor->fetch(row) || row.empty()) {
            throw DbError("服务器没有答复导入锁的请求，请稍后再试。");
        }
        // 0 and 1: granted; -1: another session still holds it; -2: the
        // request was cancelled; -3: chosen as a deadlock victim; -999: the
        // server could not take the request.
        const std::int64_t result = row[0].toInteger();
        if (result == -1) {
            return nullptr;
        }
        if (result < 0) {
            const std::string code = "sp_getapplock返回" + std::to_string(result);
            throw result == -3
                ? DbError("服务器没有给出导入锁：" + faultReason(DbFault::Deadlock, code),
                          DbFault::Deadlock)
                : DbError(
                      "服务器没有给出导入锁，请稍后再试；如果一再发生，请检查服务器的"
                      "日志（" +
                      code + "）");
        }
        return std::make_unique<AppLock>(*this, resource);
    }

private:
    // Must not outlive the back end that took it.
    class AppLock : public ImportLock {
    public:
        AppLock(OdbcBackend& backend, std::string resource)
            : m_backend(backend), m_resource(std::move(resource)) {}
        ~AppLock() override {
            // A failure is not reported: the session may be gone, and the
            // server released the lock with it.
            cleanupFailure([this] {
                m_backend.run(
                    "exec sp_releaseapplock @Resource = " + m_resource + ", @LockOwner = 'Session'",
                    {}, false);
            });
        }
        AppLock(const AppLock&) = delete;
        AppLock& operator=(const AppLock&) = delete;

    private:
        OdbcBackend& m_backend;
        std::string m_resource;
    };

    Handle allocateConnection() {
        m_env.check(SQLSetEnvAttr(m_env.get(), SQL_ATTR_ODBC_VERSION,
                                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
                    "ODBC驱动管理器不支持ODBC 3，请检查unixODBC的安装");
        return Handle(SQL_HANDLE_DBC, m_env.get());
    }

    // After a failed statement inside a transaction: the server may have
    // ended the transaction by itself (a deadlock victim, an error that
    // aborts the batch) or left it doomed, to be rolled back and nothing
    // else. Either way it is over, as the store's is after a full disk: the
    // connection goes back to one transaction per statement, so that
    // nothing after it runs in a new transaction that a commit would keep
    // half of, and inTransaction() says so. A server that does not answer
    // cannot go on with the transaction either. Where the dialect has no
    // question, the transaction is taken to stand.
    void noticeEndedTransaction() {
        const std::string question = m_dialect->transactionStateLine();
        if (question.empty()) {
            return;
        }
        bool ended = true;
        try {
            std::unique_ptr<Cursor> state = runBatch(question, {}, true);
            std::vector<Value> row;
            if (state && state->fetch(row) && row.size() >= 2) {
                const bool open = row[0].toInteger() > 0;
                const bool doomed = row[1].toInteger() < 0;
                ended = !open || doomed;
            }
        } catch (const std::exception&) {
            // No answer: the server refuses every statement of the
            // transaction, or the link is gone, and the transaction with it.
        }
        if (ended) {
            // Neither call throws; whatever they answer, the transaction is
            // over for the server.
            SQLEndTran(SQL_HANDLE_DBC, m_dbc.get(), SQL_ROLLBACK);
            SQLSetConnectAttrW(m_dbc.get(), SQL_ATTR_AUTOCOMMIT,
                               reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
            m_inTransaction = false;
        }
    }

    void endTransaction(SQLSMALLINT how, const char* what) {
        SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_dbc.get(), how);
        std::vector<Diagnostic> failure;
        if (!succeeded(rc)) {
            failure = diagnostics(SQL_HANDLE_DBC, m_dbc.get());
        }
        // Back to one transaction per statement whatever the outcome.
        SQLSetConnectAttrW(m_dbc.get(), SQL_ATTR_AUTOCOMMIT,
                           reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
        m_inTransaction = false;
        if (!succeeded(rc)) {
            throw DbError(failureText(what, failure));
        }
    }

    // The connection's current database, as the driver tracks it from the
    // server's notices; prepared statements are kept per database.
    std::string currentCatalog() {
        std::u16string name(256, u'\0');
        SQLINTEGER length = 0;
        SQLRETURN rc =
            SQLGetConnectAttrW(m_dbc.get(), SQL_ATTR_CURRENT_CATALOG, wide(name),
                               static_cast<SQLINTEGER>(name.size() * sizeof(SQLWCHAR)), &length);
        if (!succeeded(rc) || length < 0) {
            return {};
        }
        std::size_t units = std::min(name.size() - 1, static_cast<std::size_t>(length) / 2);
        return toUtf8(std::u16string_view(name.data(), units));
    }

    // Statements with parameters are prepared once per text and database and
    // then re-executed (the per-row inserts of an import).
    Handle& preparedStatement(const std::string& sql) {
        std::string key = currentCatalog() + '\n' + sql;
        auto found = m_prepared.find(key);
        if (found != m_prepared.end()) {
            return *found->second;
        }
        if (m_prepared.size() >= kPreparedLimit) {
            m_prepared.clear();
        }
        auto stmt = std::make_unique<Handle>(SQL_HANDLE_STMT, m_dbc.get());
        stmt->setQueryTimeout(m_queryTimeoutSeconds);
        std::u16string text = toUtf16(sql);
        stmt->check(SQLPrepareW(stmt->get(), wide(text), static_cast<SQLINTEGER>(text.size())),
                    "无法准备语句");
        return *m_prepared.emplace(std::move(key), std::move(stmt)).first->second;
    }

    // Leaves a prepared statement ready for its next execution.
    static void release(const Handle& stmt) {
        SQLFreeStmt(stmt.get(), SQL_CLOSE);
        SQLFreeStmt(stmt.get(), SQL_RESET_PARAMS);
    }

    // Walks every result of the batch, keeping the rows of the first one that
    // has columns when rows are wanted, and draining the others so that the
    // connection is free for the next statement. An error of any statement
    // of the batch is raised.
    std::unique_ptr<Cursor> collectResults(const Handle& stmt, bool wantRows) {
        std::unique_ptr<Cursor> result;
        for (;;) {
            SQLSMALLINT columns = 0;
            stmt.check(SQLNumResultCols(stmt.get(), &columns), "无法读取结果");
            if (columns > 0 && wantRows && !result) {
                result = readResult(stmt, columns);
            }
            SQLRETURN rc = SQLMoreResults(stmt.get());
            if (rc == SQL_NO_DATA) {
                break;
            }
            stmt.check(rc, "语句执行失败");
        }
        if (wantRows && !result) {
            result = std::make_unique<MemoryCursor>(std::vector<std::string>{},
                                                    std::deque<std::vector<Value>>{});
        }
        return result;
    }

    static std::unique_ptr<Cursor> readResult(const Handle& stmt, SQLSMALLINT columns) {
        std::vector<std::string> names;
        std::vector<Fetch> kinds;
        for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
            std::u16string name(256, u'\0');
            SQLSMALLINT nameLength = 0, sqlType = 0, digits = 0, nullable = 0;
            SQLULEN size = 0;
            stmt.check(
                SQLDescribeColW(stmt.get(), c, wide(name), static_cast<SQLSMALLINT>(name.size()),
                                &nameLength, &sqlType, &size, &digits, &nullable),
                "无法读取结果的列");
            name.resize(std::min<std::size_t>(
                static_cast<std::size_t>(std::max<SQLSMALLINT>(nameLength, 0)), name.size() - 1));
            names.push_back(toUtf8(std::u16string_view(name.data(), name.size())));
            kinds.push_back(fetchKind(sqlType));
        }
        std::deque<std::vector<Value>> rows;
        for (;;) {
            SQLRETURN rc = SQLFetch(stmt.get());
            if (rc == SQL_NO_DATA) {
                break;
            }
            stmt.check(rc, "无法读取一行数据");
            std::vector<Value> row;
            row.reserve(kinds.size());
            for (std::size_t c = 0; c < kinds.size(); ++c) {
                row.push_back(readColumn(stmt, static_cast<SQLUSMALLINT>(c + 1), kinds[c]));
            }
            rows.push_back(std::move(row));
        }
        return std::make_unique<MemoryCursor>(std::move(names), std::move(rows));
    }

    static constexpr std::size_t kPreparedLimit = 64;

    Handle m_env;
    Handle m_dbc;
    int m_queryTimeoutSeconds;
    bool m_connected = false;
    bool m_inTransaction = false;
    std::map<std::string, std::unique_ptr<Handle>> m_prepared;
    std::shared_ptr<const Dialect> m_dialect;
};

}  // namespace

std::unique_ptr<Backend> connectOdbc(const ConnectionText& text,
                                     const ConnectionSettings& settings) {
    return std::make_unique<OdbcBackend>(text, settings);
}

}  // namespace pos::db
