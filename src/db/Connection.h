// The connection and the query objects that every statement of the program
// goes through. The back end is chosen from the connection text: the data
// source "." is the embedded store (a folder of SQLite files), any other data
// source is a SQL Server reached over ODBC. A raw ODBC connection string in
// the settings overrides the text and always means ODBC.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/Value.h"
#include "db/Backend.h"
#include "db/DbError.h"
#include "db/Dialect.h"

namespace pos::db {

// What the ODBC connection asks of encryption: the driver's own default, or
// --encrypt no, yes or strict.
enum class OdbcEncryption { DriverDefault, No, Yes, Strict };

// flock(2) or what stands in for it.
using LockFileCall = std::function<int(int fd, int operation)>;

struct ConnectionSettings {
    // Folder of the embedded store (one NAME.db per database); created empty
    // when missing.
    std::string storeDir;
    // Seconds to wait for a login (SQL Server) or a lock (store).
    int loginTimeoutSeconds = 15;
    int busyTimeoutSeconds = 5;
    // Seconds a statement may run on a SQL Server before it is cancelled, so
    // that a dead or blocked server cannot hold the program forever.
    int queryTimeoutSeconds = 300;
    // When set, the connection goes over ODBC with exactly this ODBC
    // connection string ("DRIVER=...;..." or "DSN=...;..."), whatever the
    // connection text says; the text is then only kept, not translated.
    std::string odbcConnectionString = {};
    // The ODBC driver of a translated connection text; empty means FreeTDS.
    // A name containing "FreeTDS" (any case) gets FreeTDS's keywords, any
    // other name those of the vendor's driver. With a "DSN=NAME" data source
    // the driver comes from odbc.ini, and this name only picks the keywords.
    std::string odbcDriver = {};
    OdbcEncryption encryption = OdbcEncryption::DriverDefault;
    // Accept the server's certificate without checking it.
    bool trustServerCertificate = false;
    // When set, connect() hands the back end it opened to this function and
    // works with the one it returns: a test wraps the back end in one that
    // fails on demand.
    std::function<std::unique_ptr<Backend>(std::unique_ptr<Backend>)> wrapBackend = {};
    // When set, the store takes its import lock file with this call instead
    // of flock(2) (the same arguments, result and errno): a test makes the
    // file system refuse the lock with the errno of its choice.
    LockFileCall lockFile = {};
    // When set, the statements of the server behind an ODBC connection; the
    // SQL Server's otherwise. A test runs the ODBC back end against another
    // server, whose driver is at hand, with the few texts that differ.
    std::shared_ptr<const Dialect> odbcDialect = {};
};

class Connection {
public:
    explicit Connection(ConnectionSettings settings);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void setConnectionText(std::string text);
    const std::string& connectionText() const { return m_text; }
    void connect();     // throws DbError with the back end's message
    void disconnect();  // never throws
    bool connected() const { return m_backend != nullptr; }

    void beginTransaction();
    void commit();
    void rollback();
    bool inTransaction();  // asks the back end; false when not connected

    // A dry run: everything from beginOuterTransaction() to
    // rollbackOuterTransaction() happens in one transaction that is never
    // committed. Meanwhile beginTransaction, commit and rollback nest inside
    // it as savepoints (set, kept, undone), inTransaction answers for the
    // nested transaction, and a statement is refused once the database has
    // ended the outer transaction by itself, so that nothing a dry run does
    // can reach the database.
    void beginOuterTransaction();
    // Undoes everything since beginOuterTransaction(); throws DbError when the
    // database refuses (closing the connection undoes it then).
    void rollbackOuterTransaction();
    bool inOuterTransaction() const { return m_outer; }
    // Throws DbError when an outer transaction was begun and the database has
    // ended it by itself.
    void requireOuterTransaction();

    // The lock that lets one import at a time work on `database` (its staging
    // tables are shared): held until the returned lock is destroyed, nullptr
    // when another import still holds it after `waitSeconds`.
    std::unique_ptr<ImportLock> lockForImport(const std::string& database, int waitSeconds);

    // Puts every committed row into the database file itself (the store's
    // log is emptied into it), so that the user may copy that file alone.
    // Throws DbError when the database refuses; does nothing when not
    // connected or inside a transaction.
    void settleFile();

    // Lets statements call `function` as `name` (the back end's
    // defineFunction); false when not connected or where the database runs
    // no code of the program.
    bool defineFunction(const std::string& name, int arity, ScalarFunction function);

    // The statements that differ between the back ends. Throws when not connected.
    const Dialect& dialect() const;
    Backend& backend();
    const ConnectionSettings& settings() const { return m_settings; }

private:
    ConnectionSettings m_settings;
    std::string m_text;
    std::unique_ptr<Backend> m_backend;
    bool m_outer = false;
    int m_nested = 0;  // transactions open inside the outer one
};

// A query object bound to a connection: statement lines, open (rows kept for
// walking) or execute (no rows), the row walk, fields by name, parameters by
// name. Several query objects may hold open results on one connection.
class Query {
public:
    explicit Query(Connection& connection);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Connection& connection() const { return m_connection; }

    void close();       // drops the result; the text and parameters stay
    void clearLines();  // empties the text and the parameters
    void addLine(const std::string& line);
    std::string text() const;  // the lines, each followed by CR LF
    const std::vector<std::string>& lines() const { return m_lines; }

    // ":Name" in the text; the name is matched without regard to letter case.
    void setParameter(const std::string& name, Value value);
    // Sets each of `params` as setParameter does, in time that grows with
    // their number alone when their names differ from each other and from
    // the parameters already set (a statement of many rows). An entry without
    // a name is added as it is: it takes the marker at its place among the
    // query's parameters (see Parameters).
    void setParameters(const Parameters& params);
    // The same; the entries are moved, not copied, when no parameter is set
    // yet and none of them has a name.
    void setParameters(Parameters&& params);

    void open();     // runs the batch and keeps the rows of its result
    void execute();  // runs the batch, keeps no rows
    bool isOpen() const { return m_cursor != nullptr || m_fetchedAll; }

    // A result walked forward only keeps just its current row: a pass over
    // a million rows holds one of them, not all. Set before open(); first()
    // and recordCount() then see only the rows not yet passed.
    void setForwardOnly(bool forwardOnly) { m_forwardOnly = forwardOnly; }
    // A decimal column of a result read while this is set comes as the
    // number the database keeps (the store's decimals are binary numbers:
    // Float or Integer) where it keeps one, instead of exact digits; its
    // text form is the same. For a reader that only shows the values: no
    // digits are made that it would parse again. Set before open().
    void setDecimalsAsStored(bool asStored) { m_decimalsAsStored = asStored; }

    void first();  // back to the first row
    void next();
    bool eof() const;
    int recordCount();  // fetches the rest of a lazily fetched result

    int fieldCount() const;
    std::string fieldName(int index) const;  // 0-based

    // Fields of the current row by column name, without regard to letter case.
    // NULL reads as empty text, as 0, or as NULL. An unknown name throws DbError.
    std::string fieldAsText(const std::string& name) const;
    std::int64_t fieldAsInteger(const std::string& name) const;
    // The value itself, valid until the query moves or closes.
    const Value& fieldValue(const std::string& name) const;
    const Value& fieldValue(int index) const;  // 0-based
    // The 0-based place of the first column named `name` (any letter case),
    // -1 when the result has none.
    int fieldIndex(std::string_view name) const;

private:
    int columnIndex(const std::string& name) const;
    bool fetchOne();

    Connection& m_connection;
    std::vector<std::string> m_lines;
    Parameters m_params;
    std::unique_ptr<Cursor> m_cursor;
    std::vector<std::string> m_columns;
    std::vector<std::vector<Value>> m_rows;  // rows fetched so far
    bool m_fetchedAll = false;
    bool m_forwardOnly = false;
    bool m_decimalsAsStored = false;
    std::size_t m_position = 0;
};

// Walks `query`'s next results forward only while it lives (see
// Query::setForwardOnly), then puts the query back as it was.
class ForwardOnly {
public:
    explicit ForwardOnly(Query& query) : m_query(query) { query.setForwardOnly(true); }
    ~ForwardOnly() { m_query.setForwardOnly(false); }
    ForwardOnly(const ForwardOnly&) = delete;
    ForwardOnly& operator=(const ForwardOnly&) = delete;

private:
    Query& m_query;
};

// Reads `query`'s next results' decimals as the database keeps them while
// it lives (see Query::setDecimalsAsStored).
class DecimalsAsStored {
public:
    explicit DecimalsAsStored(Query& query) : m_query(query) { query.setDecimalsAsStored(true); }
    ~DecimalsAsStored() { m_query.setDecimalsAsStored(false); }
    DecimalsAsStored(const DecimalsAsStored&) = delete;
    DecimalsAsStored& operator=(const DecimalsAsStored&) = delete;

private:
    Query& m_query;
};

}  // namespace pos::db
