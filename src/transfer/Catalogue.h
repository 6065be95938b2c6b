// The server connection and the database catalogue: the connection text, the
// list of user databases, and the table-presence check of a dataset.
#pragma once

#include <string>
#include <vector>

#include "datasets/Datasets.h"
#include "db/Connection.h"
#include "db/Dialect.h"

namespace pos::transfer {

struct ConnectionArguments {
    std::string password;
    std::string integratedSecurity;
    std::string persistSecurityInfo;
    std::string user;
    std::string initialCatalog;
    std::string dataSource;
};

// The arguments of the window's start-up call: integrated security on the
// local default instance, "master" as the starting catalogue.
ConnectionArguments startupConnectionArguments();

// The arguments for the front ends' choice of server: a data source (blank:
// the local default, the store), a starting catalogue (blank: master), and
// a user name. A user name means a SQL login with `password`; without one
// the login is integrated security, whatever the password.
ConnectionArguments chosenConnectionArguments(const std::string& dataSource,
                                              const std::string& catalog, const std::string& user,
                                              const std::string& password);

std::string buildConnectionText(const ConnectionArguments& args);

// Whether `name` is one of the system databases that the database list
// leaves out (master, tempdb, model, msdb, resource), compared exactly as the
// list compares them: "Master" is not one.
bool isSystemDatabase(const std::string& name);

// (Re)connects `connection` with the built text, runs the database list on
// `connQuery` and returns the user databases in server order, without the
// system databases (compared exactly). Errors of the back end pass through.
std::vector<std::string> connectAndListDatabases(db::Connection& connection, db::Query& connQuery,
                                                 const ConnectionArguments& args);

// The query line that lists the tables a dataset needs, one row for each
// present.
std::string tablePresenceLine(const db::Dialect& dialect, const datasets::Dataset& dataset);

// Whether `database` holds the tables that the dataset needs.
bool checkDatasetTables(db::Query& connQuery, const datasets::Dataset& dataset,
                        const std::string& database);

}  // namespace pos::transfer
