// An ODBC handle (environment, connection or statement) freed by its
// destructor, whose failed calls become DbError with every diagnostic record
// of the handle.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "db/OdbcDiagnostics.h"

namespace pos::db::odbc {

class Handle {
public:
    Handle(SQLSMALLINT type, SQLHANDLE parent);
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
    void setQueryTimeout(int seconds);

    // Throws DbError with `what` and the handle's diagnostic records.
    void check(SQLRETURN rc, const std::string& what) const {
        if (!succeeded(rc) && rc != SQL_NO_DATA) {
            fail(what);
        }
    }

private:
    [[noreturn]] void fail(const std::string& what) const;
    std::string timeoutText(const std::vector<Diagnostic>& records) const;

    SQLSMALLINT m_type;
    SQLHANDLE m_handle = SQL_NULL_HANDLE;
    int m_timeoutSeconds = 0;
};

}  // namespace pos::db::odbc
