// ODBC handles: allocation, the query time-out, and the errors of failed calls.
#include "db/OdbcHandle.h"

#include "db/DbError.h"

namespace pos::db::odbc {

Handle::Handle(SQLSMALLINT type, SQLHANDLE parent) : m_type(type) {
    if (!succeeded(SQLAllocHandle(type, parent, &m_handle))) {
        std::vector<Diagnostic> records = diagnostics(type == SQL_HANDLE_ENV   ? SQL_HANDLE_ENV
                                                      : type == SQL_HANDLE_DBC ? SQL_HANDLE_ENV
                                                                               : SQL_HANDLE_DBC,
                                                      parent);
        m_handle = SQL_NULL_HANDLE;
        throw DbError(failureText("ODBC驱动管理器无法分配句柄，请检查unixODBC的安装", records));
    }
}

void Handle::setQueryTimeout(int seconds) {
    if (succeeded(SQLSetStmtAttrW(m_handle, SQL_ATTR_QUERY_TIMEOUT,
                                  reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)),
                                  SQL_IS_UINTEGER))) {
        m_timeoutSeconds = seconds;
    }
}

void Handle::fail(const std::string& what) const {
    const std::vector<Diagnostic> records = diagnostics(m_type, m_handle);
    const DbFault fault = records.empty() ? DbFault::Other : serverFault(records);
    if (fault == DbFault::Timeout && m_timeoutSeconds > 0) {
        throw DbError(timeoutText(records), fault);
    }
    throw DbError(failureText(what, records), fault);
}

std::string Handle::timeoutText(const std::vector<Diagnostic>& records) const {
    std::string all;
    for (const Diagnostic& r : records) {
        all += (all.empty() ? "" : "\n") + ('[' + r.state + "] " + r.text);
    }
    return "语句在" + std::to_string(m_timeoutSeconds) +
           "秒内没有执行完，已被取消。服务器可能过忙，或被另一个会话的锁挡住，请稍后"
           "再试（" +
           all + "）";
}

}  // namespace pos::db::odbc
