// The checks that come before an import worker is started, shared by the
// start button and the command line: the workbook exists and opens, its first
// worksheet holds a heading row and a data row, a station number was given,
// and the database holds the dataset's tables.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "db/Connection.h"
#include "transfer/TransferContext.h"

namespace pos::transfer {

enum class ImportPrecheckStatus {
    Ready,
    // "指定路径的文件不存在，请重新选择！" and the path; the window opens its file dialog
    FileMissing,
    EngineFailed,    // the workbook does not open
    StationMissing,  // "必须输入站点号！"
    StationInvalid,  // not 1 to 4 digits
    TooFewRecords,   // fewer than 2 used rows or no used column
    TablesMissing,   // the database lacks the dataset's tables
};

struct ImportPrecheck {
    ImportPrecheckStatus status = ImportPrecheckStatus::Ready;
    std::string message;  // empty when ready
    std::int32_t stationNumber = 0;
    // The workbook as the checks read it, whole, for the worker (Ready only).
    std::shared_ptr<CheckedWorkbook> workbook = {};
};

// The refusal of a workbook without a record; the import worker gives it too
// when every row below the headings is empty.
inline constexpr const char* kTooFewRecordsMessage = "您选择的文件内数据记录不全，无法导入数据！";

// The station number as the window's field takes it: at most this many
// digits 0 to 9, nothing else.
inline constexpr int kStationDigits = 4;

// The station number typed: 1 to 4 digits, blanks around them allowed,
// leading zeros ignored ("0007" is 7); nothing for any other text (a sign,
// a fifth digit, a letter).
std::optional<std::int32_t> parseStationNumber(const std::string& text);

std::string importTablesMissingMessage(const std::string& database, const std::string& datasetText);

// Runs the checks in the window's order with `options.path` (untrimmed, as
// typed) and the station text; the workbook is read whole in a session of
// its own, which a ready check hands on for the worker (a refusal releases
// it). Errors of the table-presence query pass through to the caller.
ImportPrecheck precheckImport(db::Query& connQuery, const TransferOptions& options,
                              const std::string& stationText);

}  // namespace pos::transfer
