// The self-test: the whole tool proved against the server it is pointed at,
// on a scratch database of its own. It creates the database with the
// point-of-sale tables and the demo data, exports every dataset to a
// workbook of each format (WorkbookFormats.h), imports each workbook into
// the database emptied of that dataset's rows, compares every row with what
// was there before, repeats the import with the reference rows (categories,
// statistics categories, units, halls, annotation types) removed too so
// that the merge must create them, and drops the database at the end,
// whatever happened before.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "db/Connection.h"
#include "transfer/Catalogue.h"
#include "transfer/TransferView.h"

namespace pos::transfer {

// The collation of a scratch database on SQL Server unless the user names
// another: the import binds names as non-Unicode text.
inline constexpr const char* kSelfTestCollation = "Chinese_PRC_CI_AS";
// Every scratch database's name starts so.
inline constexpr const char* kSelfTestDatabasePrefix = "pos_transfer_selftest_";

struct SelfTestStep {
    std::string title;  // what the step did, in Chinese
    bool passed = false;
    std::string detail;  // the outcome: counts, or what went wrong and what to do
    double seconds = 0;
};

struct SelfTestOptions {
    db::ConnectionSettings settings;
    ConnectionArguments arguments;
    // The collation of the scratch database on SQL Server; letters, digits
    // and '_' only. Not used on the store.
    std::string collation = kSelfTestCollation;
    // Asked before every step and by the workers before every row; none:
    // the self-test runs to its end.
    const StopToken* stop = nullptr;
    // Hears each step as soon as it has ended.
    std::function<void(const SelfTestStep&)> stepFinished;
};

struct SelfTestResult {
    std::string database;  // the scratch database's name
    std::vector<SelfTestStep> steps;
    bool stopped = false;  // the user asked it to stop; the clean-up still ran
    bool passed() const;
};

// A scratch database name: the prefix and 12 random lower-case hex digits.
std::string selfTestDatabaseName();

// Whether `name` may be given as a collation: letters, digits and '_', at
// most 128 characters, so that it cannot break the CREATE DATABASE line.
bool isValidCollationName(const std::string& name);

// Runs every step; never throws. The scratch database is dropped at the end
// when it was created, also after a failed step or a stop.
SelfTestResult runSelfTest(const SelfTestOptions& options);

}  // namespace pos::transfer
