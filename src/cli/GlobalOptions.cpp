// Resolution of the shared options into connection settings and arguments.
#include "cli/GlobalOptions.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "cli/Command.h"
#include "common/AppFolders.h"
#include "common/Text.h"
#include "common/Translations.h"
#include "datasets/Datasets.h"
#include "datasets/FieldMap.h"
#include "db/ConnectionOptions.h"

namespace pos::cli {

void GlobalOptions::addTo(CLI::App& app) {
    app.add_option("--store", store,
                   translated("Folder of the embedded store (default: POS_TRANSFER_STORE, else "
                              "the store folder below)"))
        ->type_name("DIR");
    app.add_option("--data-source", dataSource,
                   translated("SQL Server to use instead of the store: host, host,port, "
                              "host\\instance, or DSN=NAME for a data source of odbc.ini"))
        ->type_name("SERVER");
    app.add_option("--user", user,
                   translated("SQL Server login (password from POS_TRANSFER_PASSWORD); without "
                              "it, integrated security"))
        ->type_name("LOGIN");
    app.add_option("--catalog", catalog,
                   translated("Database to connect to first (default: master)"))
        ->type_name("DB");
    app.add_option("--odbc-driver", odbcDriver,
                   translated("ODBC driver for a SQL Server, as registered with unixODBC "
                              "(default: FreeTDS); a name containing FreeTDS gets FreeTDS's "
                              "keywords, any other those of the vendor's driver"))
        ->type_name("NAME");
    app.add_option("--encrypt", encrypt,
                   translated("Encryption of the SQL Server connection: yes, no or strict "
                              "(default: the driver's own; FreeTDS has no strict)"))
        ->type_name("MODE")
        ->check(CLI::IsMember({"yes", "no", "strict"}));
    app.add_flag("--trust-server-certificate", trustServerCertificate,
                 translated("Accept the server's certificate without checking it (FreeTDS "
                            "checks one only when freetds.conf names a CA file)"));
    app.add_option("--field-maps", fieldMaps,
                   translated("Folder of the field-map files %1 (default: the field-map "
                              "folder below); created when missing",
                              {datasets::datasetKeys(translated(", "), translated(", "), ".ini")}))
        ->type_name("DIR");
}

bool GlobalOptions::usesStore() const {
    return isBlank(dataSource) || trimmed(dataSource) == ".";
}

std::string GlobalOptions::storeDir() const {
    return db::chosenStoreFolder(store);
}

db::ConnectionSettings GlobalOptions::connectionSettings() const {
    try {
        return db::connectionSettingsFrom({.store = store,
                                           .odbcDriver = odbcDriver,
                                           .encrypt = encrypt,
                                           .trustServerCertificate = trustServerCertificate});
    } catch (const db::ConnectionOptionsError& e) {
        throw UsageError(e.what());
    }
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
