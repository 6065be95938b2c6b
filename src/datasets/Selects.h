// The statements of a dataset's export views and staging selects, built
// from its column table and its select levels (`SelectLevel` says the rule
// by which a column is spelled in each).
#pragma once

#include <string>
#include <vector>

#include "datasets/Datasets.h"

namespace pos::datasets {

// The statements that create the export's views, in the order they are
// sent, each as it is sent.
std::vector<std::string> exportViewStatements(const Dataset& dataset);

// One staging table as the import builds it: its columns in the order of the
// select, each with the point-of-sale column whose type it takes, and the
// select split before "from".
struct StagingSelect {
    std::string table;
    std::vector<StagedColumn> columns;
    std::string selectList;  // " select ...", up to "from"
    std::string fromClause;  // "from ..." to the end
};

// The staging tables in the order they are built.
std::vector<StagingSelect> stagingSelects(const Dataset& dataset);

}  // namespace pos::datasets
