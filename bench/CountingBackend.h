// A database back end that counts what a transfer sends and can wait a given
// time for each round trip, as a server across a network makes it wait: put
// behind every back end a connection opens by ConnectionSettings::wrapBackend.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "db/Backend.h"

namespace pos::bench {

struct StatementCount {
    // Calls that reach the server: batches run, transactions begun, commits
    // and rollbacks. Each waits `latency`.
    long roundTrips = 0;
    // The statements inside them: each line of a batch (the program sends one
    // statement a line: the preamble's two, a savepoint, its row and its
    // release), and each begin, commit and rollback.
    long statements = 0;
    std::chrono::microseconds latency{0};
};

// It defines no functions of the program (Backend::defineFunction), as a
// server defines none: the counts are those of the batches a server gets.
class CountingBackend : public db::Backend {
public:
    CountingBackend(std::unique_ptr<db::Backend> inner, std::shared_ptr<StatementCount> count)
        : m_inner(std::move(inner)), m_count(std::move(count)) {}

    std::unique_ptr<db::Cursor> run(const std::string& batch, const db::Parameters& params,
                                    bool wantRows) override {
        long lines = 0;
        std::size_t start = 0;
        while (start < batch.size()) {
            std::size_t end = batch.find("\r\n", start);
            if (end == std::string::npos) {
                end = batch.size();
            }
            if (batch.find_first_not_of(" \t", start) < end) {
                ++lines;
            }
            start = end + 2;
        }
        trip(lines);
        return m_inner->run(batch, params, wantRows);
    }
    void beginTransaction() override {
        trip(1);
        m_inner->beginTransaction();
    }
    void commit() override {
        trip(1);
        m_inner->commit();
    }
    void rollback() override {
        trip(1);
        m_inner->rollback();
    }
    bool inTransaction() override { return m_inner->inTransaction(); }
    const db::Dialect& dialect() const override { return m_inner->dialect(); }
    std::unique_ptr<db::ImportLock> lockForImport(const std::string& database,
                                                  int waitSeconds) override {
        return m_inner->lockForImport(database, waitSeconds);
    }
    void settleFile() override { m_inner->settleFile(); }

private:
    void trip(long statements) {
        ++m_count->roundTrips;
        m_count->statements += statements;
        if (m_count->latency.count() > 0) {
            std::this_thread::sleep_for(m_count->latency);
        }
    }

    std::unique_ptr<db::Backend> m_inner;
    std::shared_ptr<StatementCount> m_count;
};

// The function for ConnectionSettings::wrapBackend.
inline std::function<std::unique_ptr<db::Backend>(std::unique_ptr<db::Backend>)> countingWith(
    std::shared_ptr<StatementCount> count) {
    return [count](std::unique_ptr<db::Backend> inner) -> std::unique_ptr<db::Backend> {
        return std::make_unique<CountingBackend>(std::move(inner), count);
    };
}

}  // namespace pos::bench
