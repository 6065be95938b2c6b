// What a database back end (the embedded SQLite store, SQL Server over ODBC)
// provides to the connection and its query objects.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/Value.h"
#include "db/Dialect.h"

namespace pos::db {

// Named parameters of one batch, ":Name" in the text, given without the colon.
// An entry with an empty name takes the marker at its own place in the list
// (the batch's first marker is entry 0), whatever the marker's name: a
// statement of many rows gives its values in the order of its markers, and
// no name is built or matched for each of them.
using Parameters = std::vector<std::pair<std::string, Value>>;

// A function of the program that statements call by name, on the values
// of each row. What it throws fails the statement with its text.
using ScalarFunction = std::function<Value(std::span<const Value>)>;

// The rows of one result. A back end may fetch lazily (SQLite) or have every
// row already in memory (ODBC). A cursor stays valid while other statements
// run on the same connection, also after a "use" of the same database.
class Cursor {
public:
    virtual ~Cursor() = default;
    virtual const std::vector<std::string>& columnNames() const = 0;
    // Fills `row` with the next row's values; false at the end.
    virtual bool fetch(std::vector<Value>& row) = 0;
    // From the first row not yet handed out, a decimal column whose value
    // the database keeps as a binary number (the store's REAL or INTEGER)
    // reads as that number (Float or Integer) rather than as exact digits.
    virtual void readDecimalsAsStored() {}
};

// Keeps every other import away from one database while it lives; released
// when destroyed (and by the server itself when the session ends).
class ImportLock {
public:
    virtual ~ImportLock() = default;
};

class Backend {
public:
    virtual ~Backend() = default;
    // Runs a batch (the query's lines joined with CR LF). With `wantRows` the
    // result of the batch's row-returning statement comes back as a cursor;
    // otherwise every result is drained and nullptr comes back.
    virtual std::unique_ptr<Cursor> run(const std::string& batch, const Parameters& params,
                                        bool wantRows) = 0;
    virtual void beginTransaction() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    // Whether a transaction is open now: a database may end one by itself
    // (the store rolls back when the disk is full).
    virtual bool inTransaction() = 0;
    virtual const Dialect& dialect() const = 0;
    // Takes the import lock of `database`, the connection's current database,
    // waiting up to `waitSeconds` for another import to end; nullptr when it
    // is still held then.
    virtual std::unique_ptr<ImportLock> lockForImport(const std::string& database,
                                                      int waitSeconds) = 0;
    // Moves what the database keeps beside its file (the store's write-ahead
    // log) into the file itself, so that a copy of the file alone holds every
    // committed row. Nothing to do for a server.
    virtual void settleFile() {}
    // Lets this connection's statements call `function` as `name` with
    // `arity` arguments, on every database it uses from now on. False where
    // the database runs no code of the program (a server).
    virtual bool defineFunction(const std::string& /*name*/, int /*arity*/,
                                ScalarFunction /*function*/) {
        return false;
    }
};

}  // namespace pos::db
