// The record walk of the .xls reader: the globals of a Workbook stream (code
// page, date system, formats, sheets, shared strings) and the cells of its
// first worksheet; chart and other substreams are skipped. It throws Corrupt,
// Encrypted or TooOld (XlsRecordCursor.h), which the container turns into
// messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "workbook/SheetData.h"
#include "workbook/XlsCodePage.h"
#include "workbook/XlsRecordCursor.h"

namespace pos::workbook::biff {

struct SheetEntry {
    std::uint32_t offset;
    std::string name;
};

class BiffReader {
public:
    BiffReader(const std::uint8_t* data, std::size_t size) : m_cursor(data, size) {}

    // The sheet names and the first worksheet's cells (at most `rowLimit` rows).
    WorkbookData read(int rowLimit);

private:
    // What a worksheet's records leave for those that follow them.
    struct SheetState {
        std::optional<std::pair<int, int>> pendingString;  // a formula cell awaiting STRING
        // Formula cells whose result reads as an empty text, and whether the
        // sheet was calculated before it was saved (see markUncalculated).
        std::vector<std::pair<int, int>> emptyResults;
        bool savedWithoutRecalc = false;
    };

    void readGlobals();
    void readFormat(const Record& r, std::unordered_map<std::uint16_t, bool>& customDate);
    void finishFormats(const std::vector<std::uint16_t>& xfFormats,
                       const std::unordered_map<std::uint16_t, bool>& customDate);
    static std::string singleString(const Record& r, std::size_t offset, bool shortCount);
    std::string byteString(Fields& f, bool longCount);
    ContinuedReader continued(const Record& first, std::size_t offset);
    void readSst(const Record& r);

    Value number(double v, std::uint16_t xf) const;
    static double rk(std::uint32_t v);
    static void checkColumn(int column);

    void readSheet(std::uint32_t offset, SheetData& sheet);
    void readSheetRecord(const Record& r, SheetState& state, SheetData& sheet);
    void readLabelSst(Fields& f, SheetData& sheet);
    void readLabel(const Record& r, Fields& f, SheetData& sheet);
    void readMulRk(Fields& f, SheetData& sheet) const;
    static void readBoolErr(Fields& f, SheetData& sheet);
    static void readMulBlank(Fields& f, SheetData& sheet);
    void readFormula(Fields& f, SheetState& state, SheetData& sheet) const;
    void readFormulaString(const Record& r, Fields& f, SheetState& state, SheetData& sheet);
    static void markUncalculated(const std::vector<std::pair<int, int>>& cells, SheetData& sheet);
    void skipSubstream();

    RecordCursor m_cursor;
    bool m_biff8 = true;
    bool m_date1904 = false;
    CodePage m_codePage;
    std::vector<bool> m_dateXf;
    // The shared strings one after another, and where each ends: one block
    // of memory, not a string each.
    std::string m_sstText;
    std::vector<std::size_t> m_sstEnds;
    std::vector<SheetData::TextHandle> m_sstHandles;  // 0 until first placed
    std::vector<SheetEntry> m_worksheets;
};

}  // namespace pos::workbook::biff
