// Resolution of the shared options into connection settings and arguments.
#include "cli/GlobalOptions.h"

#include <CLI/CLI.hpp>
#include <cstdlib>

#include "common/Text.h"

namespace pos::cli {

void GlobalOptions::addTo(CLI::App& app) {
    app.add_option("--store", store,
                   "Folder of the embedded store (default: POS_TRANSFER_STORE, else the folder "
                   "data beside the program)");
    app.add_option("--data-source", dataSource,
                   "SQL Server to use instead of the store: host, host,port or host\\instance");
    app.add_option("--user", user,
                   "SQL Server login (password from POS_TRANSFER_PASSWORD); without it, "
                   "integrated security");
    app.add_option("--catalog", catalog, "Database to connect to first (default: master)");
}

bool GlobalOptions::usesStore() const {
    return isBlank(dataSource) || trimmed(dataSource) == ".";
}

std::string GlobalOptions::storeDir() const {
    if (!store.empty()) {
        return store;
    }
    if (const char* env = std::getenv("POS_TRANSFER_STORE"); env && *env) {
        return env;
    }
    return executableDir() + "data";
}

db::ConnectionSettings GlobalOptions::connectionSettings() const {
    db::ConnectionSettings settings;
    settings.storeDir = storeDir();
    return settings;
}

transfer::ConnectionArguments GlobalOptions::connectionArguments() const {
    transfer::ConnectionArguments args = transfer::startupConnectionArguments();
    if (!isBlank(catalog)) {
        args.initialCatalog = catalog;
    }
    if (!usesStore()) {
        args.dataSource = dataSource;
        if (!isBlank(user)) {
            args.integratedSecurity.clear();
            args.user = user;
            const char* password = std::getenv("POS_TRANSFER_PASSWORD");
            args.password = password ? password : "";
        }
    }
    return args;
}

}  // namespace pos::cli
