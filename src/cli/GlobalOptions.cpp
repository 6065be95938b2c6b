// Resolution of the shared options into connection settings and arguments.
#include "cli/GlobalOptions.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/AppFolders.h"
#include "common/Text.h"
#include "datasets/FieldMap.h"

namespace pos::cli {

void GlobalOptions::addTo(CLI::App& app) {
    app.add_option("--store", store,
                   "Folder of the embedded store (default: POS_TRANSFER_STORE, else the store "
                   "folder below)")
        ->type_name("DIR");
    app.add_option("--data-source", dataSource,
                   "SQL Server to use instead of the store: host, host,port or host\\instance")
        ->type_name("SERVER");
    app.add_option("--user", user,
                   "SQL Server login (password from POS_TRANSFER_PASSWORD); without it, "
                   "integrated security")
        ->type_name("LOGIN");
    app.add_option("--catalog", catalog, "Database to connect to first (default: master)")
        ->type_name("DB");
    app.add_option("--field-maps", fieldMaps,
                   "Folder of the field-map files Menu.ini, HallTable.ini, MenuAnnotate.ini "
                   "(default: the field-map folder below); created when missing")
        ->type_name("DIR");
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
    return defaultStoreFolder(executableDir());
}

db::ConnectionSettings GlobalOptions::connectionSettings() const {
    db::ConnectionSettings settings;
    settings.storeDir = storeDir();
    return settings;
}

transfer::ConnectionArguments GlobalOptions::connectionArguments() const {
    if (usesStore()) {
        return transfer::chosenConnectionArguments("", catalog, "", "");
    }
    const char* password = std::getenv("POS_TRANSFER_PASSWORD");
    return transfer::chosenConnectionArguments(dataSource, catalog, user, password ? password : "");
}

std::string GlobalOptions::fieldMapDir() const {
    if (isBlank(fieldMaps)) {
        return fieldMapFolder(executableDir());
    }
    return fieldMaps.back() == '/' ? fieldMaps : fieldMaps + "/";
}

void GlobalOptions::prepareFieldMaps() const {
    const std::string dir = fieldMapDir();
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        throw std::runtime_error("无法创建字段对应文件的文件夹“" + dir + "”（" + error.message() +
                                 "），请用--field-maps选择另一个文件夹。");
    }
    datasets::writeDefaultFieldMaps(dir);
}

}  // namespace pos::cli
