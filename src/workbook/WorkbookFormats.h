// The workbook formats the program reads and writes, in one list: each
// format's extension, its reader and writer, its dialog filter and its row
// limit. The session, the export, the command line, the window and the
// self-test take the formats from here, so a new format is one more entry.
#pragma once

#include <span>
#include <string>

#include "workbook/CellSpool.h"
#include "workbook/SheetData.h"

namespace pos::workbook {

struct WorkbookFormat {
    const char* extension;  // ".xlsx", lower case
    // The description of the dialogs' filter entry ("Excel文件（*.xlsx）").
    const char* filterText;
    WorkbookData (*read)(const std::string& path, int rowLimit);
    void (*write)(const std::string& path, const SheetToWrite& sheet);
    int maxRows;  // rows of a sheet, headings and the empty first row among them
    // Whether readWorkbookFile knows a file of this format by its first
    // bytes; a format without a signature of its own is read by extension.
    bool knownByContent;
};

// Every format, the default of an export first.
std::span<const WorkbookFormat> workbookFormats();

// The format that `path`'s extension names (any letter case), or null.
const WorkbookFormat* formatForPath(const std::string& path);

// The extensions as a message lists them: ".xls、.xlsx、.ods或.csv".
std::string extensionList(const char* separator = "、", const char* lastJoin = "或");

}  // namespace pos::workbook
