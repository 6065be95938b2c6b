// The shared strings part (xl/sharedStrings.xml): each <si> is a plain <t> or
// rich-text runs <r><t>; phonetic guides (<rPh>) are not part of the text.
// Whitespace is kept as written, as spreadsheet programs show it.
#include "workbook/XlsxParts.h"

namespace pos::workbook::xlsx {

namespace {

class SharedStringsHandler : public XmlHandler {
public:
    explicit SharedStringsHandler(SheetData& sheet) : m_sheet(sheet) {}
    std::vector<SheetData::TextHandle> strings;

    void startElement(std::string_view name, const std::vector<Attribute>&) override {
        if (name == "si") {
            m_inItem = true;
            m_text.clear();
        } else if (name == "rPh") {
            ++m_phonetic;
        } else if (name == "t" && m_inItem && m_phonetic == 0) {
            m_inText = true;
        }
    }
    void endElement(std::string_view name) override {
        if (name == "si") {
            strings.push_back(m_sheet.addText(
                m_text.find("_x") == std::string::npos ? m_text : decodeEscapes(m_text)));
            m_inItem = false;
        } else if (name == "rPh") {
            --m_phonetic;
        } else if (name == "t") {
            m_inText = false;
        }
    }
    void characters(std::string_view text) override {
        if (m_inText) {
            m_text += text;
        }
    }

private:
    SheetData& m_sheet;
    bool m_inItem = false;
    bool m_inText = false;
    int m_phonetic = 0;
    std::string m_text;
};

}  // namespace

std::vector<SheetData::TextHandle> readSharedStrings(Package& package, const std::string& part,
                                                     SheetData& sheet) {
    SharedStringsHandler handler(sheet);
    parsePart(package, part, handler);
    return std::move(handler.strings);
}

}  // namespace pos::workbook::xlsx
