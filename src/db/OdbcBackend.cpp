// The SQL Server back end: unixODBC with the FreeTDS driver. Every result is
// read whole when its batch runs (FreeTDS allows one active result per
// connection), so several query objects can hold rows at the same time.
// Diagnostics are OdbcDiagnostics.cpp, handles OdbcHandle.cpp, the values of
// columns and parameters OdbcValues.cpp.
#include "db/OdbcBackend.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/Cleanup.h"
#include "common/Text.h"
#include "common/Unicode.h"
#include "db/DbError.h"
#include "db/MemoryCursor.h"
#include "db/OdbcDiagnostics.h"
#include "db/OdbcHandle.h"
#include "db/OdbcValues.h"
#include "db/SqlServerDialect.h"

namespace pos::db {

namespace {

using odbc::bindParameter;
using odbc::BoundParameter;
using odbc::Diagnostic;
using odbc::diagnostics;
using odbc::failureText;
using odbc::Fetch;
using odbc::fetchKind;
using odbc::findParameter;
using odbc::Handle;
using odbc::readColumn;
using odbc::succeeded;
using odbc::wide;

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
                const Value* value = k < params.size() && params[k].first.empty()
                                         ? &params[k].second
                                         : findParameter(params, order[k]);
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