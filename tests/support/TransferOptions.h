// The options of a transfer as a test starts one: the dataset, the database,
// the workbook and the field-map folder; the rest at the defaults the window
// gives them, for the test to change.
#pragma once

#include <string>

#include "datasets/Datasets.h"
#include "transfer/TransferContext.h"

namespace pos::testing {

transfer::TransferOptions transferOptions(const datasets::Dataset& dataset,
                                          const std::string& database, const std::string& path = {},
                                          const std::string& fieldMapDir = {});

// The same for the dataset that `dataset` names: its key in any letter case
// or its display text; throws std::invalid_argument for any other name.
transfer::TransferOptions transferOptions(const std::string& dataset, const std::string& database,
                                          const std::string& path = {},
                                          const std::string& fieldMapDir = {});

}  // namespace pos::testing
