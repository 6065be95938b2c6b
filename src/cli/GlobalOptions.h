// The options every command shares: where the databases are and who logs in.
// Commands read them once, after the command line has been parsed.
#pragma once

#include <string>

#include "db/Connection.h"
#include "transfer/Catalogue.h"

namespace CLI {
class App;
}

namespace pos::cli {

struct GlobalOptions {
    std::string store;       // --store; empty: POS_TRANSFER_STORE, else the default store folder
    std::string dataSource;  // --data-source; empty or ".": the embedded store
    std::string user;        // --user; empty: integrated security on a server
    std::string catalog;     // --catalog; empty: master
    std::string fieldMaps;   // --field-maps; empty: the field-map folder (common/AppFolders.h)
    std::string odbcDriver;  // --odbc-driver; empty: FreeTDS
    std::string encrypt;     // --encrypt yes|no|strict; empty: the driver's default
    bool trustServerCertificate = false;  // --trust-server-certificate

    // Declares the options on the program's command line.
    void addTo(CLI::App& app);

    bool usesStore() const;
    // The store folder after --store, POS_TRANSFER_STORE and the default.
    std::string storeDir() const;
    // Throws UsageError when the encryption asked for is one the driver
    // does not have.
    db::ConnectionSettings connectionSettings() const;
    // The connection arguments: the window's start-up call on the store, a
    // SQL login when a user is given (password from POS_TRANSFER_PASSWORD),
    // integrated security otherwise.
    transfer::ConnectionArguments connectionArguments() const;
    // The folder of the field-map files, with its trailing '/'. The transfer
    // commands call prepareFieldMaps() first: it creates the folder when
    // missing and writes the default map of every dataset whose file is
    // missing there, as the window does at start-up. Throws with a message
    // naming the folder or file.
    std::string fieldMapDir() const;
    void prepareFieldMaps() const;
};

}  // namespace pos::cli
