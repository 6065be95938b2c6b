// Diagnostics of the ODBC back end: the records a handle keeps after a call
// failed, sorted into the database layer's kinds of fault and worded as its
// messages are.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "db/DbError.h"

namespace pos::db::odbc {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR is UTF-16");

inline SQLWCHAR* wide(std::u16string& s) {
    return reinterpret_cast<SQLWCHAR*>(s.data());
}

inline bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// One diagnostic record of a handle.
struct Diagnostic {
    std::string state;  // SQLSTATE
    SQLINTEGER native;  // the server's own error number
    std::string text;
};

// Every diagnostic record of a handle, in order.
std::vector<Diagnostic> diagnostics(SQLSMALLINT type, SQLHANDLE handle);

// The kind of a server error: that of the first record whose SQLSTATE, or
// native error number, tells one.
DbFault serverFault(const std::vector<Diagnostic>& records);

// The reason for a server error, every record ("[SQLSTATE] message", one
// per line) in the parentheses.
std::string serverReason(const std::vector<Diagnostic>& records);

// `what` went wrong, and why when the handle says.
std::string failureText(const std::string& what, const std::vector<Diagnostic>& records);

}  // namespace pos::db::odbc
