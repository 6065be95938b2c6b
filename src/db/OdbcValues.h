// Values of the ODBC back end: a result's columns read as the program's
// values by their SQL type, and values bound as a statement's parameters.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>

#include "common/Value.h"
#include "db/Backend.h"
#include "db/OdbcHandle.h"

namespace pos::db::odbc {

// How a column is fetched, from its SQL type.
enum class Fetch { Text, Decimal, Integer, Float, Boolean, Timestamp, Time };

Fetch fetchKind(SQLSMALLINT sqlType);

// One column of the current row; the statement has just been fetched.
Value readColumn(const Handle& stmt, SQLUSMALLINT column, Fetch kind);

// The storage behind one bound parameter; it must outlive the execution.
struct BoundParameter {
    std::u16string wideText;
    std::string narrowText;
    SQLBIGINT integer = 0;
    SQLINTEGER integer32 = 0;
    double floating = 0;
    unsigned char boolean = 0;
    SQL_TIMESTAMP_STRUCT timestamp{};
    SQLLEN indicator = 0;
};

// The value of parameter `name`, matched without regard to letter case, or
// null when there is none.
const Value* findParameter(const Parameters& params, const std::string& name);

// Binds `value` as parameter `number` (from 1) of the statement, kept in `p`.
void bindParameter(const Handle& stmt, SQLUSMALLINT number, const std::string& name,
                   const Value& value, BoundParameter& p);

}  // namespace pos::db::odbc
