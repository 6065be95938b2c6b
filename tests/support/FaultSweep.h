// A transfer run once with no fault, counting its statements, then once for
// each of those statements with that statement failing, each run on a fresh
// database: the loop of the fault tier, with what a run prepares, does and
// checks given by the test.
#pragma once

#include <memory>

#include "db/Connection.h"
#include "db/DbError.h"
#include "support/FaultyBackend.h"

namespace pos::testing {

// One kind of run under faults. prepare() builds a fresh world whose
// connections open their back end through `failing`; run() does the
// transfer once; check() states what must hold after it, whichever
// statement failed (`plan.failAt`, 0 for the clean run, which must succeed).
class FaultTarget {
public:
    virtual ~FaultTarget() = default;
    virtual void prepare(decltype(db::ConnectionSettings::wrapBackend) failing) = 0;
    virtual void run() = 0;
    virtual void check(const FaultPlan& plan) = 0;
};

struct SweepOptions {
    db::DbFault fault = db::DbFault::Other;
    // With the fault the database also ends the open transaction itself.
    bool endsTransaction = false;
    // A clean run sends more statements than this, or the sweep proves little.
    int minStatements = 10;
    // At most this many failing runs (0: one for every statement), spread
    // evenly over the statements, the last statement always among them.
    int maxRuns = 0;
};

// The clean run, then the failing runs; stops after the first run whose
// checks fail. The number of statements of the clean run.
int sweepStatements(FaultTarget& target, const SweepOptions& options = {});

}  // namespace pos::testing
