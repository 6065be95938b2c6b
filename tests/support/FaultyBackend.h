// Faults on demand: a database back end that fails its k-th statement, and
// file writes that fail after a number of bytes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "db/Backend.h"
#include "db/DbError.h"

namespace pos::testing {

// What a FaultyBackend counts and where it fails; shared with the test, which
// reads the count after a clean run and sets the statement to fail.
struct FaultPlan {
    // The statement that fails (1 for the first); 0 fails none.
    int failAt = 0;
    db::DbFault fault = db::DbFault::Other;
    // Statements seen so far: batches run, transactions begun and commits.
    int statements = 0;
    // Whether the planned fault was raised.
    bool raised = false;
    // With the fault the database also ends the open transaction by
    // itself, undoing it, as the store may on a full disk.
    bool endsTransaction = false;
    // Whether it did: the fault came while a transaction was open.
    bool endedTransaction = false;
};

// Passes everything to the back end it wraps, except that the statement
// `plan.failAt` throws a DbError of `plan.fault` without reaching the
// database, as a statement the database refused (a full disk, a broken
// link). Rollbacks always pass: they are how a caller recovers.
class FaultyBackend : public db::Backend {
public:
    FaultyBackend(std::unique_ptr<db::Backend> inner, std::shared_ptr<FaultPlan> plan);

    std::unique_ptr<db::Cursor> run(const std::string& batch, const db::Parameters& params,
                                    bool wantRows) override;
    void beginTransaction() override;
    void commit() override;
    void rollback() override { m_inner->rollback(); }
    bool inTransaction() override { return m_inner->inTransaction(); }
    const db::Dialect& dialect() const override { return m_inner->dialect(); }
    std::unique_ptr<db::ImportLock> lockForImport(const std::string& database,
                                                  int waitSeconds) override {
        return m_inner->lockForImport(database, waitSeconds);
    }
    void settleFile() override { m_inner->settleFile(); }
    bool defineFunction(const std::string& name, int arity, db::ScalarFunction function) override {
        return m_inner->defineFunction(name, arity, std::move(function));
    }

private:
    void count(const std::string& what);
    std::unique_ptr<db::Backend> m_inner;
    std::shared_ptr<FaultPlan> m_plan;
};

// The function for ConnectionSettings::wrapBackend that puts every back end
// the connection opens behind a FaultyBackend following `plan`.
std::function<std::unique_ptr<db::Backend>(std::unique_ptr<db::Backend>)> failingWith(
    std::shared_ptr<FaultPlan> plan);

// Runs `work` in a child process and waits for it; the child's exit code:
// `work`'s result, 2 when it threw, -1 when the child did not exit by itself.
int runInChild(const std::function<int()>& work);

// From now on this process's file writes fail once a file would grow beyond
// `maxBytes` (RLIMIT_FSIZE, with SIGXFSZ ignored so that the write returns
// EFBIG, as on a full disk). Only for a child of runInChild: it cannot be
// undone.
void limitFileSize(long maxBytes);

// From now on fsync and fdatasync fail with EIO in this process, as when the
// disk reports that the data did not reach it (a seccomp filter). Only for a
// child of runInChild: it cannot be undone.
void failFileSyncs();

}  // namespace pos::testing
