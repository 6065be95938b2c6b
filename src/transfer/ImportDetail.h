// What the files of the import worker share: the stop of a staging pass,
// a cell as the staging insert receives it, and the lines of the closing
// message that more than one step writes.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "common/Value.h"
#include "transfer/ImThread.h"
#include "transfer/TransferContext.h"

namespace pos::workbook {
class SpreadsheetSession;
}

namespace pos::transfer::detail {

// A staging pass that cannot go on: the user asked it to stop, the database
// failed in a way that every further row would meet (busy, full, read-only),
// or it ended the pass's transaction by itself. Row 0: the pass's closing
// commit.
class PassStopped : public std::runtime_error {
public:
    enum class Cause { User, Database };
    PassStopped(int row, Cause cause, const std::string& reason)
        : std::runtime_error(reason), m_row(row), m_cause(cause) {}
    int row() const { return m_row; }
    Cause cause() const { return m_cause; }

private:
    int m_row;
    Cause m_cause;
};

// A cell as the statement receives it: a whole number as an integer, a cell
// of blanks as no value, and in a text column a boolean or a date as the
// spreadsheet shows it.
Value cellParameter(Value value, bool textColumn);
// The same in place.
void makeCellParameter(Value& value, bool textColumn);

// The rows left out because an earlier row has the same key, and the rows a
// pass refused with their reasons, each listed up to kListedRows.
std::string repeatedRowLines(const std::vector<RepeatedRow>& rows);
std::string detailLines(const std::vector<RowProblem>& problems);

// The lines that name what is wrong with the headings, after the refusal's
// first line; none when the field map cannot be read (the first line stands
// alone then, as it always did).
std::string headingLines(const workbook::SpreadsheetSession& session, const ImportState& state,
                         const TransferOptions& options, bool tooManyColumns);

}  // namespace pos::transfer::detail
