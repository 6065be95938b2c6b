// The few server commands the program sends that the store answers itself
// instead of handing them to SQLite: " set Nocount on " (and off), " use
// "NAME"" (also [NAME] or a bare word) and "sp_databases" (also with exec or
// execute before it). Each is a line of its own in a batch; every other line
// is SQL, and consecutive SQL lines make one part.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pos::db {

enum class LineKind { Sql, NoCount, Use, ListDatabases };

// What one line of a batch is.
LineKind classifyLine(const std::string& line);

struct BatchPart {
    LineKind kind;
    std::string text;  // the SQL, or the command's line
};

// The parts of a batch in order; SQL made only of blanks and comments is
// left out, as it runs nothing.
std::vector<BatchPart> splitBatch(const std::string& batch);

// The database name of a " use NAME" line: "NAME" with doubled inner quotes,
// [NAME] with doubled closing brackets, or a bare word. Throws DbError when
// no name can be read.
std::string parseUseName(const std::string& line);

// Whether SQL text holds nothing but blanks, semicolons and comments.
bool isEmptySql(std::string_view s);

}  // namespace pos::db
