// An import whose database fails at one statement, for every statement of a
// clean run in turn: whatever statement fails, the rows the import reports
// as imported are exactly the new rows in the database, no staging table is
// left, a row that did not arrive is never passed over as a success, and a
// failure before the merge leaves the point-of-sale tables as they were.
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
#include <vector>

#include "datasets/FieldMap.h"
#include "support/FaultyBackend.h"
#include "support/RecordingView.h"
#include "support/StoreFixture.h"
#include "support/TempDir.h"
#include "support/TransferOptions.h"
#include "support/Workbooks.h"
#include "transfer/ImThread.h"

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
};

std::set<std::string> column(const StoreFixture& store, const std::string& select) {
    std::set<std::string> values;
    for (const auto& row : store.rows(select)) {
        values.insert(row.at(0));
    }
    return values;
}

// Every point-of-sale table in full.
std::map<std::string, Grid> snapshot(const StoreFixture& store) {
    std::map<std::string, Grid> tables;
    for (const char* t :
         {"Category", "STCA", "Unit", "menu", "Hall", "tables", "AnnotateType", "Annotate"}) {
        tables[t] = store.rows(std::string("select * from ") + t + " order by 1, 2");
    }
    return tables;
}

struct FaultRun {
    ImportResult result;
    int statements = 0;
    bool raised = false;
};

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

// One import of `c`'s workbook into a fresh demo store whose statement
// `failAt` fails (none with 0), with the checks that hold whatever failed.
FaultRun importFailingAt(const FaultCase& c, const std::string& dir, int failAt,
                         db::DbFault fault) {
    auto plan = std::make_shared<FaultPlan>();
    StoreFixture store(true, "pos_demo", testing::failingWith(plan));
    const auto objectsBefore = objects(store);
    const auto tablesBefore = snapshot(store);
    const auto keysBefore = column(store, c.keySelect);
    plan->failAt = failAt;
    plan->fault = fault;

    const TransferOptions options = importOptions(c, dir, store);
    testing::RecordingView view;
    MyImThread worker(store.queries(), options, view);
    worker.run();
    const ImportResult& result = worker.result();
    const std::string context = std::string(c.key) + ", statement " + std::to_string(failAt) +
                                " failing: " + result.message;

    // Nothing of the import's own is left behind.
    EXPECT_EQ(objects(store), objectsBefore) << context;
    // No stored row is lost, and the new ones are exactly those reported.
    const auto keysAfter = column(store, c.keySelect);
    EXPECT_TRUE(
        std::includes(keysAfter.begin(), keysAfter.end(), keysBefore.begin(), keysBefore.end()))
        << context;
    EXPECT_EQ(static_cast<int>(keysAfter.size() - keysBefore.size()), result.merge.inserted)
        << context;
    EXPECT_EQ(store.rows(c.keySelect).size(), keysAfter.size())
        << "a row stored twice, " << context;
    if (!result.mergeRan) {
        EXPECT_EQ(snapshot(store), tablesBefore) << context;
    }
    // A row that is not in the database is never passed over.
    for (const RowKey& k : c.rowKeys) {
        if (keysAfter.count(k.stored) == 0) {
            EXPECT_FALSE(result.everyRowInDatabase()) << context;
            if (result.outcome == ImportOutcome::Succeeded) {
                EXPECT_NE(result.message.find(k.shown), std::string::npos) << context;
            }
        }
    }
    EXPECT_EQ(view.messages(), std::vector<std::string>{result.message}) << context;
    return {result, plan->statements, plan->raised};
}

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

    const FaultRun clean = importFailingAt(c, dir.dir(), 0, GetParam().fault);
    ASSERT_EQ(clean.result.outcome, ImportOutcome::Succeeded) << clean.result.message;
    ASSERT_EQ(clean.result.merge.inserted, static_cast<int>(c.rowKeys.size()) - 1);
    ASSERT_GT(clean.statements, 10);
    RecordProperty("statements", clean.statements);
    for (int k = 1; k <= clean.statements; ++k) {
        const FaultRun run = importFailingAt(c, dir.dir(), k, GetParam().fault);
        EXPECT_TRUE(run.raised) << c.key << ", statement " << k;
        if (::testing::Test::HasFailure()) {
            return;  // the first statement that breaks a promise is enough to look at
        }
    }
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
                             return std::string(p.param.dataset->key) + p.param.name;
                         });

// A dry run whose transaction the database ends by itself (as the store
// may on a full disk) at each statement in turn: the database is as it was,
// the dry run never reports a success it did not have, and where it meets
// the ended transaction later it names it as such, never as a deadlock.
TEST(DryRunUnderFault, TransactionEndedByTheDatabaseIsNamedAsLost) {
    const FaultCase& c = kCases[1];
    testing::TempDir dir("pos-fault");
    datasets::writeDefaultFieldMaps(dir.dir());
    testing::writeWorkbook(dir.dir() + c.key + ".xls", c.grid);
    const std::string lost = db::faultReason(db::DbFault::TransactionLost, {});
    const std::string deadlock = db::faultReason(db::DbFault::Deadlock, {});
    int statements = 0;
    int namedLost = 0;
    for (int k = 0; k == 0 || k <= statements; ++k) {
        auto plan = std::make_shared<FaultPlan>();
        StoreFixture store(true, "pos_demo", testing::failingWith(plan));
        const auto objectsBefore = objects(store);
        const auto tablesBefore = snapshot(store);
        plan->failAt = k;
        plan->fault = db::DbFault::DiskFull;
        plan->endsTransaction = true;
        TransferOptions options = importOptions(c, dir.dir(), store);
        options.importChoices.dryRun = true;
        testing::RecordingView view;
        MyImThread worker(store.queries(), options, view);
        worker.run();
        const ImportResult& result = worker.result();
        const std::string context = "statement " + std::to_string(k) + ": " + result.message;
        if (k == 0) {
            ASSERT_EQ(result.outcome, ImportOutcome::Succeeded) << context;
            statements = plan->statements;
            ASSERT_GT(statements, 10);
            continue;
        }
        EXPECT_TRUE(plan->raised) << context;
        EXPECT_EQ(objects(store), objectsBefore) << context;
        EXPECT_EQ(snapshot(store), tablesBefore) << context;
        if (plan->endedTransaction) {
            EXPECT_NE(result.outcome, ImportOutcome::Succeeded) << context;
        }
        EXPECT_EQ(result.message.find(deadlock), std::string::npos) << context;
        namedLost += result.message.find(lost) != std::string::npos ? 1 : 0;
    }
    EXPECT_GT(namedLost, 0);
}

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
        const auto tablesBefore = snapshot(store);
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
        EXPECT_EQ(snapshot(store), tablesBefore);
    }
}

}  // namespace
}  // namespace pos::transfer
