// The list of workbook formats. A format is one line of kFormats.
#include "workbook/WorkbookFormats.h"

#include <array>

#include "common/Text.h"
#include "workbook/CsvReader.h"
#include "workbook/CsvWriter.h"
#include "workbook/OdsReader.h"
#include "workbook/OdsWriter.h"
#include "workbook/SheetLimits.h"
#include "workbook/XlsReader.h"
#include "workbook/XlsWriter.h"
#include "workbook/XlsxReader.h"
#include "workbook/XlsxWriter.h"

namespace pos::workbook {

namespace {

const std::array kFormats = {
    WorkbookFormat{".xls", "Excel文件（*.xls）", &readXls, &writeXls, kXlsMaxRows, true},
    WorkbookFormat{".xlsx", "Excel文件（*.xlsx）", &readXlsx, &writeXlsx, kXlsxMaxRows, true},
    WorkbookFormat{".ods", "OpenDocument电子表格（*.ods）", &readOds, &writeOds, kOdsMaxRows, true},
    WorkbookFormat{".csv", "CSV文件（*.csv）", &readCsv, &writeCsv, kCsvMaxRows, false},
};

}  // namespace

std::span<const WorkbookFormat> workbookFormats() {
    return kFormats;
}

const WorkbookFormat* formatForPath(const std::string& path) {
    const std::string lower = asciiLower(path);
    for (const WorkbookFormat& format : kFormats) {
        const std::string_view extension = format.extension;
        if (lower.size() > extension.size() &&
            std::string_view(lower).substr(lower.size() - extension.size()) == extension) {
            return &format;
        }
    }
    return nullptr;
}

std::string extensionList(const char* separator, const char* lastJoin) {
    std::string text;
    for (std::size_t i = 0; i < kFormats.size(); ++i) {
        if (i > 0) {
            text += i + 1 == kFormats.size() ? lastJoin : separator;
        }
        text += kFormats[i].extension;
    }
    return text;
}

}  // namespace pos::workbook
