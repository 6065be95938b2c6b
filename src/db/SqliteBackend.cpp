// The embedded store back end: the server commands the program sends, the
// statements it hands to SQLite, transactions and the import lock. The open
// file and its lazy results are in SqliteFile, the statement cache in
// SqliteStatements, values in SqliteValues, the command parser in
// StoreCommands and the folder in StoreFolder.
#include "db/SqliteBackend.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "common/Files.h"
#include "common/Text.h"
#include "db/DbError.h"
#include "db/MemoryCursor.h"
#include "db/SqliteDialect.h"
#include "db/SqliteFile.h"
#include "db/StoreCommands.h"
#include "db/StoreFolder.h"

namespace fs = std::filesystem;

namespace pos::db {

namespace {

using store::bindParameters;
using store::ColumnKind;
using store::columnNamesOf;
using store::LazyCursor;
using store::PreparedChunk;
using store::readRow;
using store::SqliteFile;
using store::StatementTables;

class SqliteBackend : public Backend {
public:
    SqliteBackend(std::string storeDir, int busySeconds, LockFileCall lockFile)
        : m_storeDir(std::move(storeDir)),
          m_busySeconds(busySeconds),
          m_lockFile(lockFile ? std::move(lockFile) : LockFileCall(::flock)) {
        m_file = std::make_shared<SqliteFile>("", ":memory:", m_busySeconds);
    }

    void useDatabase(const std::string& name) {
        if (m_file && !m_file->name().empty() && m_file->name() == name) {
            return;  // same database: results open on it stay valid
        }
        if (m_inTransaction) {
            throw DbError("事务尚未结束，不能切换到数据库“" + name + "”，请先提交或回滚事务。");
        }
        if (!isValidStoreDatabaseName(name)) {
            throw DbError("“" + name + "”不是有效的数据库名：" + kStoreNameRule);
        }
        std::string path = m_storeDir + "/" + name + ".db";
        if (!regularFileExists(path)) {
            if (name == "master") {
                // The server's master always exists; the store's is the
                // state of no database chosen yet.
                if (!m_file->name().empty()) {
                    m_file = std::make_shared<SqliteFile>("", ":memory:", m_busySeconds);
                    defineFunctionsOn(*m_file);
                }
                return;
            }
            throw DbError("数据库“" + name + "”不存在：数据库文件夹" + m_storeDir + "中没有文件" +
                          name + ".db。请选择其他数据库或先创建它。");
        }
        auto file = std::make_shared<SqliteFile>(name, path, m_busySeconds);
        defineFunctionsOn(*file);
        m_file = std::move(file);
    }

    bool defineFunction(const std::string& name, int arity, ScalarFunction function) override {
        auto defined = std::make_shared<const ScalarFunction>(std::move(function));
        if (!m_file->defineFunction(name, arity, defined)) {
            return false;
        }
        // A function defined again replaces the one before.
        std::erase_if(m_functions,
                      [&](const DefinedFunction& f) { return f.name == name && f.arity == arity; });
        m_functions.push_back({name, arity, std::move(defined)});
        return true;
    }

    std::unique_ptr<Cursor> run(const std::string& batch, const Parameters& params,
                                bool wantRows) override {
        const std::vector<BatchPart>& segments = segmentsOf(batch);
        std::unique_ptr<Cursor> result;
        std::size_t markersBefore = 0;  // in the batch's earlier statements
        for (std::size_t i = 0; i < segments.size(); ++i) {
            const BatchPart& seg = segments[i];
            bool last = i + 1 == segments.size();
            switch (seg.kind) {
                case LineKind::NoCount:
                    break;
                case LineKind::Use:
                    useDatabase(parseUseName(seg.text));
                    break;
                case LineKind::ListDatabases:
                    if (wantRows && !result) {
                        result = databaseList();
                    }
                    break;
                case LineKind::Sql:
                    runSql(seg.text, params, markersBefore, wantRows && !result, last, result);
                    break;
            }
        }
        if (wantRows && !result) {
            result = std::make_unique<MemoryCursor>(std::vector<std::string>{},
                                                    std::deque<std::vector<Value>>{});
        }
        return result;
    }

    // BEGIN and COMMIT leave the results being read valid; a rollback
    // aborts them only when the schema changed in the transaction.
    void beginTransaction() override {
        if (sqlite3_get_autocommit(m_file->db())) {
            m_file->transactionEnded();
        }
        m_file->execSimple("BEGIN");
        m_inTransaction = true;
    }
    void commit() override {
        m_file->execSimple("COMMIT");
        m_file->transactionEnded();
        m_inTransaction = false;
    }
    void rollback() override {
        m_file->beforeRollback();
        m_inTransaction = false;
        m_file->execSimple("ROLLBACK");
        m_file->transactionEnded();
    }
    bool inTransaction() override {
        m_inTransaction = m_file && sqlite3_get_autocommit(m_file->db()) == 0;
        return m_inTransaction;
    }
    const Dialect& dialect() const override { return m_dialect; }

    // A checkpoint that empties the log: the database file alone then holds
    // everything, and the log file left beside it is empty. It waits for
    // readers of other programs up to the busy timeout; when they keep it
    // from finishing, the rows stay safe in the log and move at the next one.
    void settleFile() override {
        if (!m_file || m_file->name().empty() || !sqlite3_get_autocommit(m_file->db())) {
            return;
        }
        const int rc = sqlite3_wal_checkpoint_v2(m_file->db(), nullptr, SQLITE_CHECKPOINT_TRUNCATE,
                                                 nullptr, nullptr);
        if (rc != SQLITE_OK) {
            m_file->fail(rc);
        }
    }

    // An exclusive advisory lock on the hidden file .NAME.import-lock beside
    // the database file. The lock goes with the descriptor, so a killed
    // import leaves nothing held; the file itself stays for the next import
    // (removing it would race with another import that has opened it and
    // waits for its lock: each would then lock a file of its own). Only
    // a lock held by another import is waited for: a file system that
    // refuses the lock (no lock service on a network file system, a disk
    // fault) says so, rather than blaming an import that does not exist.
    std::unique_ptr<ImportLock> lockForImport(const std::string& database,
                                              int waitSeconds) override {
        const std::string name =
            m_file && !m_file->name().empty() ? m_file->name() : trimmed(database);
        const std::string path = storeImportLockPath(m_storeDir, name);
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 && (errno == EACCES || errno == EROFS)) {
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (fd < 0) {
            throw DbError("无法打开导入锁文件" + path + "（" + std::strerror(errno) +
                              "），请检查数据库文件夹能否写入。",
                          DbFault::LockRefused);
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(std::max(waitSeconds, 0));
        while (m_lockFile(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            if (error != EWOULDBLOCK) {
                ::close(fd);
                throw DbError("无法锁定导入锁文件" + path + "：" +
                                  faultReason(DbFault::LockRefused, std::strerror(error)),
                              DbFault::LockRefused);
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::close(fd);
                return nullptr;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::make_unique<FileLock>(fd);
    }

private:
    class FileLock : public ImportLock {
    public:
        explicit FileLock(int fd) : m_fd(fd) {}
        ~FileLock() override { ::close(m_fd); }
        FileLock(const FileLock&) = delete;
        FileLock& operator=(const FileLock&) = delete;

    private:
        int m_fd;
    };

    // The parts of a batch, split once per text: the per-row batches of the
    // import come again and again.
    const std::vector<BatchPart>& segmentsOf(const std::string& batch) {
        auto it = m_batches.find(batch);
        if (it != m_batches.end()) {
            return it->second;
        }
        if (m_batches.size() >= kBatchCacheLimit) {
            m_batches.clear();
        }
        return m_batches.emplace(batch, splitBatch(batch)).first->second;
    }

    std::unique_ptr<Cursor> databaseList() {
        std::deque<std::vector<Value>> rows;
        for (const std::string& name : listStoreDatabases(m_storeDir)) {
            std::error_code ec;
            auto size = fs::file_size(m_storeDir + "/" + name + ".db", ec);
            rows.push_back(
                {Value::text(name),
                 ec ? Value::null() : Value::integer(static_cast<std::int64_t>(size / 1024)),
                 Value::null()});
        }
        return std::make_unique<MemoryCursor>(
            std::vector<std::string>{"DATABASE_NAME", "DATABASE_SIZE", "REMARKS"}, std::move(rows));
    }

    // Prepares the chunk's next statement and learns the names of its
    // markers; false when the rest of the text holds no statement.
    static bool prepareNextStatement(SqliteFile& file, PreparedChunk& chunk) {
        const std::string& sql = chunk.sql;
        const char* begin = sql.c_str() + chunk.nextOffset;
        const char* tail = nullptr;
        sqlite3_stmt* stmt = nullptr;
        StatementTables tables;
        int rc = file.prepare(begin, static_cast<int>(sql.size() - chunk.nextOffset), &stmt, &tail,
                              tables);
        if (rc != SQLITE_OK) {
            file.fail(rc);
        }
        if (!stmt) {
            chunk.nextOffset = static_cast<std::size_t>(tail - sql.c_str());
            chunk.complete = true;
            return false;
        }
        // A statement whose markers cannot be bound is not kept.
        store::StatementHandle handle(stmt);
        std::vector<std::string> markers;
        if (chunk.numbered) {
            // The markers that stand in this statement's text.
            const auto end = static_cast<std::size_t>(tail - sql.c_str());
            while (chunk.nextMarker < chunk.markerOffsets.size() &&
                   chunk.markerOffsets[chunk.nextMarker] < end) {
                markers.push_back(chunk.markerNames[chunk.nextMarker++]);
            }
            if (markers.size() != static_cast<std::size_t>(sqlite3_bind_parameter_count(stmt))) {
                throw DbError("语句中的参数无法与其名称对应，请检查语句的写法。");
            }
        } else {
            markers = store::markerNames(stmt);
        }
        chunk.nextOffset = static_cast<std::size_t>(tail - sql.c_str());
        chunk.statements.push_back(std::move(handle));
        chunk.tables.push_back(std::move(tables));
        chunk.markers.push_back(std::move(markers));
        if (isEmptySql(std::string_view(sql).substr(chunk.nextOffset))) {
            chunk.complete = true;
        }
        return true;
    }

    // Runs the statements of one SQL part in order. With `takeRows`, the first
    // statement that returns columns becomes the result: read lazily when it
    // is the batch's last statement, into memory otherwise.
    void runSql(const std::string& text, const Parameters& params, std::size_t& markersBefore,
                bool takeRows, bool lastBatchPart, std::unique_ptr<Cursor>& result) {
        std::shared_ptr<SqliteFile> file = m_file;
        std::unique_ptr<PreparedChunk> chunk = file->acquire(text);
        try {
            for (std::size_t k = 0;; ++k) {
                if (k == chunk->statements.size() &&
                    (chunk->complete || !prepareNextStatement(*file, *chunk))) {
                    break;
                }
                sqlite3_stmt* stmt = chunk->statements[k].get();
                // A statement that returns rows may become a cursor read after
                // `params` are gone: it keeps copies of its texts. Any other
                // is stepped to its end here, and the chunk's release clears
                // its values.
                const bool copyText = sqlite3_column_count(stmt) > 0;
                if (const int rc =
                        bindParameters(stmt, chunk->markers[k], params, markersBefore, copyText);
                    rc != SQLITE_OK) {
                    file->fail(rc);
                }
                markersBefore += chunk->markers[k].size();
                StatementTables* tables = &chunk->tables[k];
                file->beforeStatement(stmt, *tables);
                bool lastStatement = chunk->complete && k + 1 == chunk->statements.size();
                if (takeRows && !result && sqlite3_column_count(stmt) > 0) {
                    if (lastBatchPart && lastStatement) {
                        auto cursor =
                            std::make_unique<LazyCursor>(file, std::move(chunk), stmt, tables);
                        cursor->start();
                        result = std::move(cursor);
                        return;
                    }
                    std::deque<std::vector<Value>> rows;
                    std::vector<Value> row;
                    std::vector<ColumnKind> kinds;
                    int rc;
                    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                        readRow(stmt, kinds, row);
                        rows.push_back(std::move(row));
                    }
                    if (rc != SQLITE_DONE) {
                        file->fail(rc);
                    }
                    result = std::make_unique<MemoryCursor>(columnNamesOf(stmt), std::move(rows));
                } else {
                    int rc;
                    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
                    }
                    if (rc != SQLITE_DONE) {
                        file->fail(rc);
                    }
                }
                sqlite3_reset(stmt);
            }
        } catch (...) {
            file->release(std::move(chunk));
            throw;
        }
        file->release(std::move(chunk));
    }

    void defineFunctionsOn(SqliteFile& file) const {
        for (const DefinedFunction& defined : m_functions) {
            file.defineFunction(defined.name, defined.arity, defined.function);
        }
    }

    struct DefinedFunction {
        std::string name;
        int arity;
        std::shared_ptr<const ScalarFunction> function;
    };

    static constexpr std::size_t kBatchCacheLimit = 256;
    std::string m_storeDir;
    int m_busySeconds;
    LockFileCall m_lockFile;
    std::unordered_map<std::string, std::vector<BatchPart>> m_batches;
    std::shared_ptr<SqliteFile> m_file;
    SqliteDialect m_dialect;
    bool m_inTransaction = false;
    std::vector<DefinedFunction> m_functions;
};

}  // namespace

std::unique_ptr<Backend> connectSqliteStore(const ConnectionText& text,
                                            const ConnectionSettings& settings) {
    std::string dir = storeDirectory(settings);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !folderExists(dir)) {
        throw DbError("数据库文件夹" + dir +
                      "无法创建，请用--store或POS_TRANSFER_STORE指定其他文件夹" +
                      (ec ? "（" + ec.message() + "）" : std::string()) + "。");
    }
    removeAbandonedNewDatabases(dir);
    auto backend =
        std::make_unique<SqliteBackend>(dir, settings.busyTimeoutSeconds, settings.lockFile);
    std::optional<std::string> catalog = text.get("Initial Catalog");
    if (catalog && !isBlank(*catalog)) {
        backend->useDatabase(*catalog);
    }
    return backend;
}

}  // namespace pos::db
