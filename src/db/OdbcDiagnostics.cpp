// Diagnostics of the ODBC back end: reading a handle's records, and their
// kinds and wording.
#include "db/OdbcDiagnostics.h"

#include <algorithm>
#include <string_view>

#include "common/Unicode.h"

namespace pos::db::odbc {

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

std::string failureText(const std::string& what, const std::vector<Diagnostic>& records) {
    return records.empty() ? what + "。" : what + "：" + serverReason(records);
}

}  // namespace pos::db::odbc
