// One caller's workbook session: the in-process engine that stands where an
// automated spreadsheet application would. States: empty -> started ->
// workbook attached -> first sheet named and attached -> in use -> saved ->
// quit -> released. The destructor releases what the session still holds, so
// that no exit path of a caller has to. Rows and columns count from 1, as the
// callers count them.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Value.h"
#include "workbook/SheetData.h"

namespace pos::workbook {

class SpreadsheetSession {
public:
    SpreadsheetSession();
    // Quits and releases the engine when the caller has not; never throws (a
    // failure to release is logged as a clean-up step's).
    ~SpreadsheetSession();
    SpreadsheetSession(const SpreadsheetSession&) = delete;
    SpreadsheetSession& operator=(const SpreadsheetSession&) = delete;

    void startExcel();
    void addWorkbook();  // a new workbook with one worksheet
    // Reads a workbook of any format of WorkbookFormats.h, by content. With
    // a row limit, the cells of the first `rowLimit` rows only are read (a
    // cell below them reads as NULL), while the used range still spans the
    // whole sheet: for a caller that needs the headings and the size of a
    // large sheet, not its cells.
    void openWorkbook(const std::string& path, int rowLimit = kEveryRow);
    // Renames the first worksheet of the workbook in memory; fails when another
    // sheet bears the name (without regard to case) or the name is not a valid
    // sheet name (over 31 characters, or one of : \ / ? * [ ]).
    void nameFirstSheet(const std::string& key);
    void sheetByName(const std::string& key);  // attaches the sheet; fails when none bears the name
    void wrapAllCells();
    // The used range as spreadsheet programs count it: from the first to the
    // last row (column) that holds a value or a format of its own.
    int usedRowCount(const std::string& key) const;
    int usedColumnCount(const std::string& key) const;
    void writeCell(int row, int column, const std::string& text);
    // A value as a cell: an integer, a floating-point number or an exact
    // decimal as a number cell holding that value, when a spreadsheet shows
    // it whole (at most 15 significant digits: "12.5000" is 12.5); any other
    // value, a longer number among them, as the text of Value::toText.
    void writeValue(int row, int column, const Value& value);
    // An empty cell reads as NULL; in a new workbook a number cell reads as
    // floating point, any other as text.
    Value readCell(int row, int column) const;
    // The cells of `row` from `column` on, one for each value of `out`, as
    // readCell reads them, written into those values.
    void readRow(int row, int column, std::span<Value> out) const;
    // The cells of the attached worksheet that hold a formula whose result the
    // file does not store (a workbook written by a program that does not
    // calculate), as 1-based (row, column) pairs in row, then column order.
    std::vector<std::pair<int, int>> cellsWithoutResult() const;
    // Writes the workbook to the path, atomically (a temporary file renamed over
    // the target); the format follows the extension (WorkbookFormats.h).
    void saveSheetAs(const std::string& path);
    void closeWorkbooks();
    // Ends the session before its destructor does: its workbook is dropped
    // and it cannot start again.
    void quitExcel() noexcept;
    void releaseExcel() noexcept;

    bool started() const;

private:
    void writeText(int row, int column, std::string_view text);

    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace pos::workbook
