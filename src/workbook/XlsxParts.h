// The parts of an .xlsx package as the reader sees them: the zip container
// with its safety limits, a streaming XML parser over one part, and one
// reader per part (relationships, workbook, shared strings, styles, sheet).
// Each reader is a free function a test can call on its own.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Value.h"
#include "workbook/SheetData.h"

namespace pos::workbook::xlsx {

// Safety limits against zip bombs and hostile sheets. Every part is streamed,
// so the limits bound the bytes inflated (time), not a buffer: the memory a
// read takes follows the cells and texts held, which kMaxGridCells bounds.
//
// All parts read, together. The largest sheet the program writes is a part
// of up to 4 GiB (a zip without its 64-bit extension holds no more; a full
// sheet of 1,048,576 rows already takes over 1 GiB); a spreadsheet program
// puts the texts in a second part as large at most.
inline constexpr std::uint64_t kMaxInflatedBytes = 8ull << 30;
// A part that inflates beyond kRatioCheckFrom must not inflate more than
// kMaxRatio times its compressed size, by the size it declares and by the
// bytes it really gives: a bomb is refused before it is read, or after at
// most kMaxRatio times its own size. XML sheets from real programs compress
// ten to thirty times.
inline constexpr std::uint64_t kRatioCheckFrom = 16ull << 20;
inline constexpr std::uint64_t kMaxRatio = 200;
// Cells the grid may hold, counting the empty cells to the left of a value in
// each row (the grid pads short rows with four-byte slots).
inline constexpr std::uint64_t kMaxGridCells = 64ull << 20;

// One zip package opened read-only. Part names are as stored ("xl/workbook.xml").
class Package {
public:
    explicit Package(const std::string& path);
    ~Package();
    Package(const Package&) = delete;
    Package& operator=(const Package&) = delete;

    bool has(const std::string& part) const;
    // Feeds the inflated bytes of `part` to `sink` in chunks; throws
    // WorkbookError when the part is missing, encrypted, corrupt or breaks a limit.
    template <class Sink>
    void stream(const std::string& part, Sink&& sink);
    const std::string& path() const { return m_path; }

private:
    void refuseRepeatedNames() const;
    void streamRaw(const std::string& part, void (*sink)(void*, const char*, std::size_t),
                   void* context);
    std::string m_path;
    struct Zip;
    std::unique_ptr<Zip> m_zip;
    std::uint64_t m_inflated = 0;
};

template <class Sink>
void Package::stream(const std::string& part, Sink&& sink) {
    streamRaw(
        part,
        [](void* context, const char* data, std::size_t size) {
            (*static_cast<std::remove_reference_t<Sink>*>(context))(data, size);
        },
        &sink);
}

// Element and attribute names reach a handler without their namespace, since
// writers choose prefixes freely (and the strict variant uses other URIs).
struct Attribute {
    std::string_view name;
    std::string_view value;
};

class XmlHandler {
public:
    virtual ~XmlHandler() = default;
    virtual void startElement(std::string_view name, const std::vector<Attribute>& attributes) = 0;
    virtual void endElement(std::string_view name) = 0;
    virtual void characters(std::string_view text) = 0;
};

std::optional<std::string_view> findAttribute(const std::vector<Attribute>& attributes,
                                              std::string_view name);

// Parses one part of the package with the handler. A document type
// declaration is refused (no part of a package has one; it is how entity
// expansion attacks begin). Errors thrown by the handler stop the parse and
// come out of this call.
void parsePart(Package& package, const std::string& part, XmlHandler& handler);
// The same over bytes in memory (for tests and the fuzzer's smaller targets).
void parseXml(std::string_view xml, const std::string& partName, XmlHandler& handler);

// Relationships of one part: id -> target part name (resolved against the
// source part's folder), and the type's last path segment ("worksheet").
struct Relationship {
    std::string id;
    std::string type;  // last segment of the Type URI
    std::string target;
};
std::string relationshipsPartOf(
    const std::string& part);  // "xl/workbook.xml" -> "xl/_rels/workbook.xml.rels"
std::string resolveTarget(const std::string& sourcePart, std::string_view target);
std::vector<Relationship> readRelationships(Package& package, const std::string& sourcePart);
std::string findOfficeDocument(Package& package);

struct WorkbookPart {
    struct Sheet {
        std::string name;
        std::string relationshipId;
    };
    std::vector<Sheet> sheets;  // every <sheet>, in order
    bool date1904 = false;
};
WorkbookPart readWorkbookPart(Package& package, const std::string& part);

// The shared strings, added to the sheet's texts once each: their handles, by index.
std::vector<SheetData::TextHandle> readSharedStrings(Package& package, const std::string& part,
                                                     SheetData& sheet);

// The cell formats: for each cellXfs entry, whether its number format shows a date.
struct Styles {
    std::vector<bool> dateXf;
    bool isDate(int xf) const {
        return xf >= 0 && xf < static_cast<int>(dateXf.size()) && dateXf[xf];
    }
};
Styles readStyles(Package& package, const std::string& part);
bool isBuiltinDateFormat(int numFmtId);
// Decides as spreadsheet programs do: a code whose first section shows a day,
// month, year, hour, minute or second outside quotes, escapes and brackets
// (elapsed-time brackets [h] [mm] [ss] count as time).
bool isDateFormatCode(std::string_view code);

// Serial day number to date and time. The 1900 system keeps the phantom
// 29 February 1900 (serial 60) as spreadsheets show it. Empty for a serial
// outside the years 1900 (1904) to 9999.
std::optional<DateTime> serialToDateTime(double serial, bool date1904);

// "B3" -> row 2, column 1. Empty when the text is not a cell reference;
// throws WorkbookError when it is one beyond the sheet's limits.
struct CellRef {
    int row = 0;
    int column = 0;
};
std::optional<CellRef> parseCellRef(std::string_view ref);
std::string cellRefText(int row, int column);  // 0-based -> "A1"

// Decodes the _xHHHH_ escapes that writers use for characters XML cannot carry.
std::string decodeEscapes(std::string_view text);

// Reads the worksheet into `sheet`. With a row limit on the sheet, it stops at
// the first cell below the limit when the sheet's <dimension> covers every
// cell met so far; the used range is then the union of the two.
void readSheet(Package& package, const std::string& part,
               const std::vector<SheetData::TextHandle>& strings, const Styles& styles,
               bool date1904, SheetData& sheet);

}  // namespace pos::workbook::xlsx
