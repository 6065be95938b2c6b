#include "db/ConnectionOptions.h"

#include <cstdlib>

#include "common/AppFolders.h"
#include "common/Text.h"
#include "db/OdbcText.h"

namespace pos::db {

std::string chosenStoreFolder(const std::string& store) {
    if (!store.empty()) {
        return store;
    }
    if (const char* env = std::getenv("POS_TRANSFER_STORE"); env && *env) {
        return env;
    }
    return defaultStoreFolder(executableDir());
}

ConnectionSettings connectionSettingsFrom(const ConnectionOptions& options) {
    ConnectionSettings settings;
    settings.storeDir = chosenStoreFolder(options.store);
    settings.odbcDriver = trimmed(options.odbcDriver);
    if (options.encrypt == "yes") {
        settings.encryption = OdbcEncryption::Yes;
    } else if (options.encrypt == "no") {
        settings.encryption = OdbcEncryption::No;
    } else if (options.encrypt == "strict") {
        settings.encryption = OdbcEncryption::Strict;
    } else if (!options.encrypt.empty()) {
        throw ConnectionOptionsError("加密方式“" + options.encrypt +
                                     "”无效：--encrypt只接受yes、no或strict。");
    }
    settings.trustServerCertificate = options.trustServerCertificate;
    if (std::string problem = odbcSettingsProblem(settings); !problem.empty()) {
        throw ConnectionOptionsError(problem);
    }
    return settings;
}

}  // namespace pos::db
