// The checks that come before an import worker is started, shared by the
// start button and the command line: the workbook exists and opens, its first
// worksheet holds a heading row and a data row, a station number was given,
// and the database holds the dataset's tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "db/Connection.h"
#include "transfer/TransferContext.h"

namespace pos::transfer {

enum class ImportPrecheckStatus {
    Ready,
    FileMissing,  // "指定路径的文件不存在，请重新选择！"; the window opens its file dialog
    EngineFailed,    // the workbook does not open
    StationMissing,  // "必须输入站点号！"
    StationInvalid,  // not a whole number in the 32-bit range
    TooFewRecords,   // fewer than 2 used rows or no used column
    TablesMissing,   // the database lacks the dataset's tables
};

struct ImportPrecheck {
    ImportPrecheckStatus status = ImportPrecheckStatus::Ready;
    std::string message;  // empty when ready
    std::int32_t stationNumber = 0;
};

// The station number typed: a whole number with an optional sign, blanks
// around it allowed, leading zeros ignored ("0007" is 7); nothing when it is
// not one or lies outside the 32-bit range.
std::optional<std::int32_t> parseStationNumber(const std::string& text);

std::string importTablesMissingMessage(const std::string& database, const std::string& datasetText);

// Runs the checks in the window's order with `options.path` (untrimmed, as
// typed) and the station text; the workbook is opened in a session of its own
// that is released before returning. Errors of the table-presence query pass
// through to the caller.
ImportPrecheck precheckImport(db::Query& connQuery, const TransferOptions& options,
                              const std::string& stationText);

}  // namespace pos::transfer
