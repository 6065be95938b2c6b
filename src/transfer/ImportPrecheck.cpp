// The import's pre-checks. The workbook session opened here reads the file
// once for the checks and the worker: renaming its first sheet changes
// nothing on disk.
#include "transfer/ImportPrecheck.h"

#include "common/Files.h"
#include "common/Text.h"
#include "transfer/Catalogue.h"
#include "workbook/SpreadsheetSession.h"
#include "workbook/WorkbookError.h"

namespace pos::transfer {

namespace {

const char* const kStationRuleMessage =
    "站点号只能由数字0至9组成，最多4位（0至9999），请重新输入！";

ImportPrecheck refused(ImportPrecheckStatus status, std::string message) {
    ImportPrecheck check;
    check.status = status;
    check.message = std::move(message);
    return check;
}

}  // namespace

std::optional<std::int32_t> parseStationNumber(const std::string& text) {
    const std::string t = trimmed(text);
    if (t.empty() || t.size() > static_cast<std::size_t>(kStationDigits) ||
        t.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    std::int32_t value = 0;
    for (const char digit : t) {
        value = value * 10 + (digit - '0');
    }
    return value;
}

std::string importTablesMissingMessage(const std::string& database,
                                       const std::string& datasetText) {
    return "您选择的'" + database + "'数据库的'" + datasetText + "'相关表不全，请检查数据库！";
}

ImportPrecheck precheckImport(db::Query& connQuery, const TransferOptions& options,
                              const std::string& stationText) {
    if (!regularFileExists(options.path)) {
        // The first line as it always was; the second names the path, which
        // a user who typed it, or a script, needs to see.
        return refused(
            ImportPrecheckStatus::FileMissing,
            "指定路径的文件不存在，请重新选择！\n" +
                (fileExists(options.path) ? options.path + "不是普通文件（可能是文件夹或管道）"
                                          : "找不到文件" + options.path));
    }

    const std::string key = options.dataset.key;
    auto opened = std::make_unique<workbook::SpreadsheetSession>();
    workbook::SpreadsheetSession& session = *opened;
    try {
        session.startExcel();
        // The checks need the used range only, but the worker needs every
        // cell: it takes the workbook read here.
        session.openWorkbook(trimmed(options.path));
        session.nameFirstSheet(key);
    } catch (const workbook::WorkbookError& e) {
        // The file is no workbook, or a damaged one: the reason says which.
        return refused(ImportPrecheckStatus::EngineFailed, e.what());
    } catch (const std::exception& e) {
        return refused(ImportPrecheckStatus::EngineFailed,
                       std::string("不能导入数据，EXCEL可能未正确安装！\n") + e.what());
    }

    if (isBlank(stationText)) {
        return refused(ImportPrecheckStatus::StationMissing, "必须输入站点号！");
    }
    const std::optional<std::int32_t> station = parseStationNumber(stationText);
    if (!station) {
        return refused(ImportPrecheckStatus::StationInvalid, kStationRuleMessage);
    }

    int rows = 0;
    int columns = 0;
    try {
        rows = session.usedRowCount(key);
        columns = session.usedColumnCount(key);
    } catch (const std::exception&) {
        rows = 0;
    }
    if (rows < 2 || columns < 1) {
        return refused(ImportPrecheckStatus::TooFewRecords, kTooFewRecordsMessage);
    }

    if (!checkDatasetTables(connQuery, options.dataset, options.database)) {
        return refused(ImportPrecheckStatus::TablesMissing,
                       importTablesMissingMessage(options.database, options.dataset.displayText));
    }

    ImportPrecheck ready;
    ready.stationNumber = *station;
    ready.workbook = std::make_shared<CheckedWorkbook>(std::move(opened));
    return ready;
}

CheckedWorkbook::CheckedWorkbook(std::unique_ptr<workbook::SpreadsheetSession> session)
    : m_session(std::move(session)) {}

CheckedWorkbook::~CheckedWorkbook() = default;

std::unique_ptr<workbook::SpreadsheetSession> CheckedWorkbook::take() {
    return std::move(m_session);
}

}  // namespace pos::transfer
