// Values of the store. SQLite keeps a value by its storage class; the
// program expects what SQL Server hands back, so a column's declared type
// decides: DATE/TIME columns give dates, BIT/BOOL columns booleans,
// DECIMAL/NUMERIC/MONEY columns exact decimals.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/Value.h"
#include "db/Backend.h"

namespace pos::db::store {

// How a column's values are handed back, from the words of its declared type.
struct ColumnKind {
    bool boolean = false;   // "bit", "bool"
    bool decimal = false;   // "dec", "numeric", "money"
    bool dateTime = false;  // "date", "time"
};

ColumnKind columnKind(const char* declType);
std::vector<ColumnKind> columnKinds(sqlite3_stmt* s);

// A function's argument as the program's value: NULL, an integer, a float
// or a text, as SQLite holds it. Written into `into`, whose text storage a
// text argument reuses: a function is called for each row.
void readArgument(sqlite3_value* value, Value& into);
// Hands `value` back as a function's result, as a parameter would be bound.
void setResult(sqlite3_context* context, const Value& value);

// Column `i` of the statement's current row, read as its kind says.
Value columnValue(sqlite3_stmt* s, int i, ColumnKind kind);

// The names of the statement's markers in their order, without the ':'.
// Throws DbError for a marker of another form. The library finds a marker's
// name by walking a list, so this is asked once per prepared statement, not
// at every run of a statement with thousands of markers.
std::vector<std::string> markerNames(sqlite3_stmt* s);

// A batch part with each ":Name" marker outside literals, quoted names and
// comments written as "?" instead, and the markers' names in their order in
// `names`, each with where its "?" stands in `numbered` in `offsets`. The
// library parses a named marker (and a numbered one) by walking the list of
// markers met before, so a statement of thousands of them costs their square
// to prepare; plain ones cost their count. False, with nothing written, when
// the text holds a marker of another form, which the library then reports
// as it would.
bool numberMarkers(std::string_view text, std::string& numbered, std::vector<std::string>& names,
                   std::vector<std::size_t>& offsets);

// Binds the values to the statement's markers, named by `markers`, names
// matched without regard to letter case; the library's result code of a bind
// that failed, else SQLITE_OK. Throws DbError for a marker without a value. A
// decimal binds as text: a numeric column's affinity turns it into a number,
// and a text column keeps the digits exactly.
// `first` is the place of the statement's first marker among the batch's
// markers, for the parameters given by their place. With `copyText` SQLite
// keeps copies of the texts; without, it reads them where `params` holds
// them, which must then outlive the statement's steps (the statement is
// stepped to its end and reset before `params` go).
int bindParameters(sqlite3_stmt* s, const std::vector<std::string>& markers,
                   const Parameters& params, std::size_t first, bool copyText);

std::vector<std::string> columnNamesOf(sqlite3_stmt* s);

// The current row; `kinds` is filled from the statement on the first row, as
// the declared types are those of the statement as it ran.
void readRow(sqlite3_stmt* s, std::vector<ColumnKind>& kinds, std::vector<Value>& row);

}  // namespace pos::db::store
