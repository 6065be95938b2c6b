// An import, a dry run and the merge alone whose database fails at one
// statement, for every statement of a clean run in turn: whatever statement
// fails, the rows reported as imported are exactly the new rows in the
// database, no staging table is left, a row that did not arrive is never
// passed over as a success, a failure before the merge leaves the
// point-of-sale tables as they were, and a dry run changes nothing.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "datasets/FieldMap.h"
#include "support/FaultSweep.h"
#include "support/FaultyBackend.h"
#include "support/RecordingView.h"
#include "support/StoreFixture.h"
#include "support/TempDir.h"
#include "support/TransferOptions.h"
#include "support/Workbooks.h"
#include "transfer/ImThread.h"
#include "transfer/Merge.h"

namespace pos::transfer {
namespace {

using testing::FaultPlan;
using testing::StoreFixture;
using Grid = std::vector<std::vector<std::string>>;

// A workbook row's key as `keySelect` gives it, and as the messages name it.
struct RowKey {
    std::string stored;
    std::string shown;
};

struct FaultCase {
    const char* key;
    const char* text;
    Grid grid;  // headings, then the records
    // Every stored key of the dataset, one per row.
    const char* keySelect;
    std::vector<RowKey> rowKeys;
    int storedRows = 1;     // rows already stored, not inserted again
    const char* kind = "";  // tells two cases of one dataset apart
};

std::vector<std::string> menuRow(const std::string& id, const std::string& name,
                                 const std::string& category, const std::string& statistics,
                                 const std::string& unit) {
    return {id, name, "X", category, statistics, unit, "18", "6", "16",
            "", "",   "",  "",       "",         "",   "",   ""};
}

// New rows that need new reference rows, next to a row already stored.
const FaultCase kCases[] = {
    {"Menu",
     "菜品信息",
     {pos::testing::defaultHeadings(datasets::kMenuDataset),
      menuRow("9001", "新菜一", "新类别", "新统计", "新单位"),
      menuRow("9002", "新菜二", "新类别", "菜品", "份"),
      menuRow("1001", "拍黄瓜", "凉菜", "菜品", "份")},
     "select ID from menu",
     {{"9001", "9001"}, {"9002", "9002"}, {"1001", "1001"}}},
    {"HallTable",
     "厅桌信息",
     {{"厅名", "桌号", "桌名"},
      {"新厅", "9101", "新一"},
      {"新厅", "9102", "新二"},
      {"大厅", "9103", "A99"},
      {"大厅", "101", "A01"}},
     "select ID from tables",
     {{"9101", "9101"}, {"9102", "9102"}, {"9103", "9103"}, {"101", "101"}}},
    {"MenuAnnotate",
     "菜品注释",
     {{"注释类别", "注释名称"},
      {"新注释类", "少冰"},
      {"新注释类", "多冰"},
      {"口味", "微麻"},
      {"口味", "微辣"}},
     "select AnnotateType.Name || '/' || Annotate.Name from Annotate, AnnotateType"
     " where AnnotateType.ID = Annotate.AnnotateTypeID",
     {{"新注释类/少冰", "少冰"},
      {"新注释类/多冰", "多冰"},
      {"口味/微麻", "微麻"},
      {"口味/微辣", "微辣"}}},
    // New dishes only: the store inserts them with one statement per batch.
    {"Menu",
     "菜品信息",
     {pos::testing::defaultHeadings(datasets::kMenuDataset),
      menuRow("9001", "新菜一", "新类别", "新统计", "新单位"),
      menuRow("9002", "新菜二", "新类别", "菜品", "份"),
      menuRow("9003", "新菜三", "凉菜", "新统计", "份")},
     "select ID from menu",
     {{"9001", "9001"}, {"9002", "9002"}, {"9003", "9003"}},
     0,
     "NewOnly"},
};

std::set<std::string> column(const StoreFixture& store, const std::string& select) {
    std::set<std::string> values;
    for (const auto& row : store.rows(select)) {
        values.insert(row.at(0));
    }
    return values;
}

// The import of `c`'s workbook in `dir` into the store's database.
TransferOptions importOptions(const FaultCase& c, const std::string& dir,
                              const StoreFixture& store) {
    TransferOptions options =
        testing::transferOptions(c.key, store.database(), dir + c.key + ".xls", dir);
    options.stationNumber = 1;
    return options;
}

std::vector<std::vector<std::string>> objects(const StoreFixture& store) {
    return store.rows("select type, name from sqlite_master order by 2");
}

// An import of `c`'s workbook into a fresh demo store, as the window runs
// it, with what was in the database before.
class ImportRun : public testing::FaultTarget {
public:
    ImportRun(const FaultCase& c, std::string dir, bool dryRun = false)
        : m_case(c), m_dir(std::move(dir)), m_dryRun(dryRun) {}

    void prepare(decltype(db::ConnectionSettings::wrapBackend) failing) override {
        m_store = std::make_unique<StoreFixture>(true, "pos_demo", std::move(failing));
        m_objectsBefore = objects(*m_store);
        m_tablesBefore = m_store->pointOfSaleTables();
        m_keysBefore = column(*m_store, m_case.keySelect);
    }

    void run() override {
        TransferOptions options = importOptions(m_case, m_dir, *m_store);
        options.importChoices.dryRun = m_dryRun;
        testing::RecordingView view;
        MyImThread worker(m_store->queries(), options, view);
        worker.run();
        m_result = worker.result();
        m_messages = view.messages();
    }

    // Nothing of the import's own is left behind, and the view heard the
    // one message the result holds.
    void check(const FaultPlan& /*plan*/) override {
        EXPECT_EQ(objects(*m_store), m_objectsBefore) << m_result.message;
        EXPECT_EQ(m_messages, std::vector<std::string>{m_result.message});
    }

protected:
    const FaultCase& m_case;
    std::string m_dir;
    bool m_dryRun;
    std::unique_ptr<StoreFixture> m_store;
    std::vector<std::vector<std::string>> m_objectsBefore;
    std::map<std::string, Grid> m_tablesBefore;
    std::set<std::string> m_keysBefore;
    ImportResult m_result;
    std::vector<std::string> m_messages;
};

// The rows the import reports as imported are exactly the new rows in the
// database, none stored twice, none lost; a row that did not arrive is
// never passed over; a failure before the merge changes nothing.
class ImportKeepsTheDatabaseTrue : public ImportRun {
public:
    using ImportRun::ImportRun;

    void check(const FaultPlan& plan) override {
        ImportRun::check(plan);
        const std::string context = m_result.message;
        if (plan.failAt == 0) {
            ASSERT_EQ(m_result.outcome, ImportOutcome::Succeeded) << context;
            ASSERT_EQ(m_result.merge.inserted,
                      static_cast<int>(m_case.rowKeys.size()) - m_case.storedRows);
        }
        const auto keysAfter = column(*m_store, m_case.keySelect);
        EXPECT_TRUE(std::includes(keysAfter.begin(), keysAfter.end(), m_keysBefore.begin(),
                                  m_keysBefore.end()))
            << context;
        EXPECT_EQ(static_cast<int>(keysAfter.size() - m_keysBefore.size()), m_result.merge.inserted)
            << context;
        EXPECT_EQ(m_store->rows(m_case.keySelect).size(), keysAfter.size())
            << "a row stored twice, " << context;
        if (!m_result.mergeRan) {
            EXPECT_EQ(m_store->pointOfSaleTables(), m_tablesBefore) << context;
        }
        for (const RowKey& k : m_case.rowKeys) {
            if (keysAfter.count(k.stored) == 0) {
                EXPECT_FALSE(m_result.everyRowInDatabase()) << context;
                if (m_result.outcome == ImportOutcome::Succeeded) {
                    EXPECT_NE(m_result.message.find(k.shown), std::string::npos) << context;
                }
            }
        }
    }
};

struct FaultParam {
    const FaultCase* dataset;
    db::DbFault fault;
    const char* name;
};

void PrintTo(const FaultParam& p, std::ostream* os) {
    *os << p.dataset->key << ", " << p.name;
}

class ImportUnderFault : public ::testing::TestWithParam<FaultParam> {};

TEST_P(ImportUnderFault, EveryStatementFailingInTurnKeepsTheDatabaseTrue) {
    const FaultCase& c = *GetParam().dataset;
    testing::TempDir dir("pos-fault");
    datasets::writeDefaultFieldMaps(dir.dir());
    testing::writeWorkbook(dir.dir() + c.key + ".xls", c.grid);
    ImportKeepsTheDatabaseTrue target(c, dir.dir());
    testing::sweepStatements(target, {.fault = GetParam().fault});
}

std::vector<FaultParam> faultParams() {
    std::vector<FaultParam> params;
    for (const FaultCase& c : kCases) {
        params.push_back({&c, db::DbFault::Other, "RefusedStatement"});
        params.push_back({&c, db::DbFault::DiskFull, "DiskFull"});
    }
    return params;
}

INSTANTIATE_TEST_SUITE_P(Datasets, ImportUnderFault, ::testing::ValuesIn(faultParams()),
                         [](const auto& p) {
                             return std::string(p.param.dataset->key) + p.param.dataset->kind +
                                    p.param.name;
                         });

// A dry run changes nothing whatever fails; where the database ended its
// transaction by itself (as the store may on a full disk) the dry run
// never reports a success it did not have, and where it meets the ended
// transaction later it names it as such, never as a deadlock.
class DryRunChangesNothing : public ImportRun {
public:
    DryRunChangesNothing(const FaultCase& c, std::string dir)
        : ImportRun(c, std::move(dir), true) {}

    void check(const FaultPlan& plan) override {
        ImportRun::check(plan);
        const std::string context = m_result.message;
        if (plan.failAt == 0) {
            ASSERT_EQ(m_result.outcome, ImportOutcome::Succeeded) << context;
        }
        EXPECT_EQ(m_store->pointOfSaleTables(), m_tablesBefore) << context;
        if (plan.endedTransaction) {
            EXPECT_NE(m_result.outcome, ImportOutcome::Succeeded) << context;
        }
        EXPECT_EQ(context.find(db::faultReason(db::DbFault::Deadlock, {})), std::string::npos)
            << context;
        namedLost +=
            context.find(db::faultReason(db::DbFault::TransactionLost, {})) != std::string::npos
                ? 1
                : 0;
    }

    int namedLost = 0;
};

TEST(DryRunUnderFault, TransactionEndedByTheDatabaseIsNamedAsLost) {
    const FaultCase& c = kCases[1];
    testing::TempDir dir("pos-fault");
    datasets::writeDefaultFieldMaps(dir.dir());
    testing::writeWorkbook(dir.dir() + c.key + ".xls", c.grid);
    DryRunChangesNothing target(c, dir.dir());
    testing::sweepStatements(target, {.fault = db::DbFault::DiskFull, .endsTransaction = true});
    EXPECT_GT(target.namedLost, 0);
}

// The merge alone of `c`'s workbook rows, staged directly: the rows it
// reports as inserted, also when it stops, are exactly the new rows in the
// database, none stored twice; a row that is not there is one the merge
// stopped before or names as refused.
class MergeKeepsTheDatabaseTrue : public testing::FaultTarget {
public:
    explicit MergeKeepsTheDatabaseTrue(const FaultCase& c) : m_case(c) {}

    void prepare(decltype(db::ConnectionSettings::wrapBackend) failing) override {
        m_store = std::make_unique<StoreFixture>(true, "pos_demo", std::move(failing));
        m_store->createStagingTables();
        for (std::size_t r = 1; r < m_case.grid.size(); ++r) {
            std::string values;
            for (const std::string& cell : m_case.grid[r]) {
                values += (values.empty() ? "" : ", ") +
                          (cell.empty() ? std::string("NULL") : "'" + cell + "'");
            }
            m_store->exec("insert into TEMP" + std::string(m_case.key) + " values (" + values +
                          ")");
        }
        m_keysBefore = column(*m_store, m_case.keySelect);
    }

    void run() override {
        TransferOptions options = testing::transferOptions(m_case.key, m_store->database());
        options.stationNumber = 1;
        TransferSession session = m_store->queries();
        TransferQueries queries = session.queries();
        testing::RecordingView view;
        int progressBase = 0;
        m_stop.clear();
        try {
            m_report = mergeStagedRows(queries, options, progressBase, view);
        } catch (const MergeStopped& stopped) {
            m_report = stopped.report();
            m_stop = stopped.what();
        }
    }

    void check(const FaultPlan& plan) override {
        const std::string context = m_stop;
        if (plan.failAt == 0) {
            ASSERT_EQ(m_stop, "");
            ASSERT_EQ(m_report.inserted,
                      static_cast<int>(m_case.rowKeys.size()) - m_case.storedRows);
        }
        const auto keysAfter = column(*m_store, m_case.keySelect);
        EXPECT_TRUE(std::includes(keysAfter.begin(), keysAfter.end(), m_keysBefore.begin(),
                                  m_keysBefore.end()))
            << context;
        EXPECT_EQ(static_cast<int>(keysAfter.size() - m_keysBefore.size()), m_report.inserted)
            << context;
        EXPECT_EQ(m_store->rows(m_case.keySelect).size(), keysAfter.size())
            << "a row stored twice, " << context;
        for (const RowKey& k : m_case.rowKeys) {
            const bool refused =
                std::any_of(m_report.refused.begin(), m_report.refused.end(),
                            [&k](const RefusedRow& r) { return r.key == k.shown; });
            if (keysAfter.count(k.stored) == 0 && m_stop.empty()) {
                EXPECT_TRUE(refused) << k.shown << " is neither stored nor named as refused";
            }
        }
    }

private:
    const FaultCase& m_case;
    std::unique_ptr<StoreFixture> m_store;
    std::set<std::string> m_keysBefore;
    MergeReport m_report;
    std::string m_stop;
};

class MergeUnderFault : public ::testing::TestWithParam<FaultParam> {};

TEST_P(MergeUnderFault, EveryStatementFailingInTurnKeepsTheDatabaseTrue) {
    MergeKeepsTheDatabaseTrue target(*GetParam().dataset);
    testing::sweepStatements(target, {.fault = GetParam().fault});
}

INSTANTIATE_TEST_SUITE_P(Datasets, MergeUnderFault, ::testing::ValuesIn(faultParams()),
                         [](const auto& p) {
                             return std::string(p.param.dataset->key) + p.param.dataset->kind +
                                    p.param.name;
                         });

// The import lock refused by the file system for each of its reasons: the
// import names the lock and the system's reason, blames no other import and
// changes nothing; a lock call interrupted by a signal is only tried again.
TEST(ImportLock, RefusedByTheFileSystemIsNamedByItsKind) {
    struct Case {
        const char* name;
        int error;  // of the first lock call; the next ones lock for real
        bool taken;
    };
    const Case cases[] = {
        {"no lock service (a network file system)", ENOLCK, false},
        {"a disk fault", EIO, false},
        {"interrupted by a signal", EINTR, true},
    };
    const FaultCase& c = kCases[1];
    testing::TempDir dir("pos-lock");
    datasets::writeDefaultFieldMaps(dir.dir());
    testing::writeWorkbook(dir.dir() + c.key + ".xls", c.grid);
    for (const Case& lockCase : cases) {
        SCOPED_TRACE(lockCase.name);
        StoreFixture store(true, "pos_demo");
        int calls = 0;
        db::ConnectionSettings settings;
        settings.lockFile = [&calls, &lockCase](int fd, int operation) {
            if (calls++ == 0) {
                errno = lockCase.error;
                return -1;
            }
            return ::flock(fd, operation);
        };
        store.reconnect(settings);
        const auto objectsBefore = objects(store);
        const auto tablesBefore = store.pointOfSaleTables();
        testing::RecordingView view;
        MyImThread worker(store.queries(), importOptions(c, dir.dir(), store), view);
        worker.run();
        const ImportResult& result = worker.result();
        if (lockCase.taken) {
            EXPECT_EQ(result.outcome, ImportOutcome::Succeeded) << result.message;
            continue;
        }
        EXPECT_EQ(result.outcome, ImportOutcome::Refused);
        EXPECT_NE(result.message.find(
                      db::faultReason(db::DbFault::LockRefused, std::strerror(lockCase.error))),
                  std::string::npos)
            << result.message;
        EXPECT_EQ(result.message.find("另一个导入"), std::string::npos) << result.message;
        EXPECT_EQ(objects(store), objectsBefore);
        EXPECT_EQ(store.pointOfSaleTables(), tablesBefore);
    }
}

}  // namespace
}  // namespace pos::transfer
