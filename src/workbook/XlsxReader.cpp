// Reads an .xlsx workbook: the package's root relationships lead to the
// workbook part, whose relationships lead to the sheets, the shared strings
// and the styles; the first worksheet is read into the grid.
#include "workbook/XlsxReader.h"
#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsxParts.h"

namespace pos::workbook {

WorkbookData readXlsx(const std::string& path, int rowLimit) {
    xlsx::Package package(path);
    const std::string workbookPart = xlsx::findOfficeDocument(package);
    const xlsx::WorkbookPart workbook = xlsx::readWorkbookPart(package, workbookPart);
    const std::vector<xlsx::Relationship> relationships =
        xlsx::readRelationships(package, workbookPart);

    auto find = [&](auto&& matches) -> const xlsx::Relationship* {
        for (const xlsx::Relationship& r : relationships) {
            if (matches(r)) {
                return &r;
            }
        }
        return nullptr;
    };

    // Chart sheets and dialog sheets are sheets too, but not worksheets: the
    // first worksheet is the first <sheet> whose relationship is a worksheet.
    WorkbookData data;
    data.firstSheet.limitRows(rowLimit);
    std::string firstSheetPart;
    for (const auto& sheet : workbook.sheets) {
        const xlsx::Relationship* r = find([&](const xlsx::Relationship& x) {
            return x.id == sheet.relationshipId && x.type == "worksheet";
        });
        if (!r) {
            continue;
        }
        if (firstSheetPart.empty()) {
            firstSheetPart = r->target;
            data.firstSheet.name = sheet.name;
        }
        data.sheetNames.push_back(sheet.name);
    }
    if (firstSheetPart.empty()) {
        throw WorkbookError("无法读取工作簿" + inQuotes(path) +
                            "：其中没有工作表。请添加一个含有数据的工作表后重试。");
    }
    if (!package.has(firstSheetPart)) {
        throw WorkbookError("无法读取工作簿" + inQuotes(path) +
                                "：文件已损坏，其第一个工作表的部件" + inQuotes(firstSheetPart) +
                                "缺失。" + kSaveAgainAdvice,
                            WorkbookFault::Damaged);
    }

    // The shared strings go straight into the sheet's texts, held once.
    std::vector<SheetData::TextHandle> strings;
    if (auto* r = find([](const xlsx::Relationship& x) { return x.type == "sharedStrings"; });
        r && package.has(r->target)) {
        strings = xlsx::readSharedStrings(package, r->target, data.firstSheet);
    }
    xlsx::Styles styles;
    if (auto* r = find([](const xlsx::Relationship& x) { return x.type == "styles"; });
        r && package.has(r->target)) {
        styles = xlsx::readStyles(package, r->target);
    }
    xlsx::readSheet(package, firstSheetPart, strings, styles, workbook.date1904, data.firstSheet);
    return data;
}

}  // namespace pos::workbook
