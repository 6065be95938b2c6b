// The error that every database operation raises. Its text is Chinese: what
// went wrong and what to do, followed by the server's or the store's own
// words, where there are any, in parentheses.
#pragma once

#include <stdexcept>
#include <string>

namespace pos::db {

// The kinds of a database's own errors that a user can tell apart and act
// on; each back end sorts its codes into them in one place.
enum class DbFault {
    TypeMismatch,  // a value of the wrong type for its column
    MissingValue,  // no value for a column that requires one
    DuplicateKey,  // a key or unique value that another row already has
    TextTooLong,   // a text longer than its column allows
    Refused,       // another constraint, or a trigger, refused the change
    Busy,          // another program holds the database
    Deadlock,      // two programs waited for each other; this one was undone
    Timeout,       // no answer within the allowed time
    DiskFull,
    DiskIo,  // the file could not be read or written (a disk fault, a size limit)
    ReadOnly,
    CannotOpen,  // the database file cannot be opened
    Damaged,     // the file is not a database, or is damaged
    Connection,  // the link to the server failed or broke
    Login,       // the server refused the user or the password
    // The file system could not take the import lock (no lock service on a
    // network file system, a disk fault); "held by another import" is not
    // an error.
    LockRefused,
    // The database ended the open transaction by itself (a full disk on the
    // store, a deadlock victim or a doomed transaction on SQL Server): none
    // of its changes were kept.
    TransactionLost,
    Other,
};

class DbError : public std::runtime_error {
public:
    explicit DbError(const std::string& message, DbFault fault = DbFault::Other)
        : std::runtime_error(message), m_fault(fault) {}
    // What kind of failure the database reported; Other for the layer's own.
    DbFault fault() const { return m_fault; }

private:
    DbFault m_fault;
};

// Whether the fault lies with the database or its surroundings (busy, full,
// read-only, unreachable, damaged) rather than with the values of a row:
// every further row would fail the same way.
bool isEnvironmentFault(DbFault fault);

// The reason for a database's own error, in Chinese, with the original text
// in full-width parentheses: "主键或唯一值重复（UNIQUE constraint failed: T.ID）".
// A `detail` (which column, which limit) follows the reason after a colon:
// "文本超出列的长度：列Name最多50个字符（CHECK constraint failed: …）".
std::string faultReason(DbFault fault, const std::string& original, const std::string& detail = {});

}  // namespace pos::db
