#include "support/FaultSweep.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pos::testing {

namespace {

// The statements that fail in turn: every one, or `maxRuns` spread evenly
// with the last among them.
std::vector<int> failingStatements(int statements, int maxRuns) {
    std::vector<int> chosen;
    if (maxRuns <= 0 || maxRuns >= statements) {
        for (int k = 1; k <= statements; ++k) {
            chosen.push_back(k);
        }
        return chosen;
    }
    for (int i = 1; i <= maxRuns; ++i) {
        chosen.push_back(static_cast<int>(static_cast<long>(statements) * i / maxRuns));
    }
    return chosen;
}

// The plan as the run left it; statements of the checks neither count nor fail.
FaultPlan runOnce(FaultTarget& target, int failAt, const SweepOptions& options) {
    auto plan = std::make_shared<FaultPlan>();
    target.prepare(failingWith(plan));
    // Only the run's own statements count, and only they fail.
    plan->statements = 0;
    plan->failAt = failAt;
    plan->fault = options.fault;
    plan->endsTransaction = options.endsTransaction;
    target.run();
    const FaultPlan seen = *plan;
    plan->failAt = -1;
    return seen;
}

}  // namespace

int sweepStatements(FaultTarget& target, const SweepOptions& options) {
    const FaultPlan clean = runOnce(target, 0, options);
    {
        SCOPED_TRACE("no statement failing");
        target.check(clean);
    }
    const int statements = clean.statements;
    EXPECT_GT(statements, options.minStatements);
    ::testing::Test::RecordProperty("statements", statements);
    if (::testing::Test::HasFailure()) {
        return statements;
    }
    for (const int k : failingStatements(statements, options.maxRuns)) {
        const FaultPlan plan = runOnce(target, k, options);
        SCOPED_TRACE("statement " + std::to_string(k) + " of " + std::to_string(statements) +
                     " failing");
        EXPECT_TRUE(plan.raised);
        target.check(plan);
        if (::testing::Test::HasFailure()) {
            break;  // the first statement that breaks a promise is enough to look at
        }
    }
    return statements;
}

}  // namespace pos::testing
