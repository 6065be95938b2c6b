// The connection options that both front ends take (--store, --odbc-driver,
// --encrypt, --trust-server-certificate, and POS_TRANSFER_STORE), turned
// into the connection's settings in one place.
#pragma once

#include <stdexcept>
#include <string>

#include "db/Connection.h"

namespace pos::db {

// The options as the user gave them; an empty text is an option not given.
struct ConnectionOptions {
    std::string store;       // the store folder; else POS_TRANSFER_STORE, else the default
    std::string odbcDriver;  // the ODBC driver's name; else FreeTDS
    std::string encrypt;     // "yes", "no" or "strict"; else the driver's default
    bool trustServerCertificate = false;
};

// Options that cannot be used together or at all; the text is the user's.
class ConnectionOptionsError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The store folder that `store` chooses: itself, else POS_TRANSFER_STORE,
// else the default folder beside the program.
std::string chosenStoreFolder(const std::string& store);

// The settings that the options make. Throws ConnectionOptionsError for an
// encryption that is no mode, or one the driver does not have.
ConnectionSettings connectionSettingsFrom(const ConnectionOptions& options);

}  // namespace pos::db
