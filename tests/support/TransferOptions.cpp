#include "support/TransferOptions.h"

#include <stdexcept>

namespace pos::testing {

transfer::TransferOptions transferOptions(const datasets::Dataset& dataset,
                                          const std::string& database, const std::string& path,
                                          const std::string& fieldMapDir) {
    return {.dataset = dataset, .database = database, .path = path, .fieldMapDir = fieldMapDir};
}

transfer::TransferOptions transferOptions(const std::string& dataset, const std::string& database,
                                          const std::string& path, const std::string& fieldMapDir) {
    const datasets::Dataset* found = datasets::findDataset(dataset);
    if (found == nullptr) {
        throw std::invalid_argument("no dataset is named " + dataset);
    }
    return transferOptions(*found, database, path, fieldMapDir);
}

}  // namespace pos::testing
