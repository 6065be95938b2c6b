// The workbook part (xl/workbook.xml): the sheets in order with their
// relationship ids, and the date system (workbookPr date1904).
#include "workbook/XlsxParts.h"

namespace pos::workbook::xlsx {

namespace {

bool isTrue(std::string_view v) {
    return v == "1" || v == "true";
}

class WorkbookHandler : public XmlHandler {
public:
    WorkbookPart result;

    void startElement(std::string_view name, const std::vector<Attribute>& attributes) override {
        if (name == "workbookPr") {
            if (auto v = findAttribute(attributes, "date1904")) {
                result.date1904 = isTrue(*v);
            }
        } else if (name == "sheet") {
            auto sheetName = findAttribute(attributes, "name");
            auto id = findAttribute(attributes, "id");  // r:id
            if (sheetName && id) {
                result.sheets.push_back({std::string(*sheetName), std::string(*id)});
            }
        }
    }
    void endElement(std::string_view) override {}
    void characters(std::string_view) override {}
};

}  // namespace

WorkbookPart readWorkbookPart(Package& package, const std::string& part) {
    WorkbookHandler handler;
    parsePart(package, part, handler);
    return std::move(handler.result);
}

}  // namespace pos::workbook::xlsx
