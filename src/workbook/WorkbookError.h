// The error that every workbook operation raises, with a message a user can
// act on: in Chinese, saying what went wrong and what to do. Its kind says
// the same for code, which decides by the kind and never by the wording.
#pragma once

#include <stdexcept>
#include <string>

namespace pos::workbook {

// The kinds of workbook failure that a caller can tell apart and act on;
// the readers and writers set them where they raise the error.
enum class WorkbookFault {
    NotAWorkbook,  // not a file, an empty file, or a file of another kind
    Encrypted,     // protected by a password to open
    TooOld,        // saved by a version older than Excel 5.0
    Unsupported,   // a workbook in a format this program does not read (.xlsb)
    Damaged,       // a workbook that breaks its format: cut short, malformed
    TooLarge,      // beyond a limit of the format or of what memory can hold
    CannotRead,    // the file is missing, may not be read, or reading it failed
    CannotWrite,   // the workbook could not be saved where and as asked
    Other,         // a sheet that is missing or misnamed, a misuse, an internal fault
};

class WorkbookError : public std::runtime_error {
public:
    explicit WorkbookError(const std::string& message, WorkbookFault fault = WorkbookFault::Other)
        : std::runtime_error(message), m_fault(fault) {}
    // What kind of failure it is; Other for the layer's own.
    WorkbookFault fault() const { return m_fault; }

private:
    WorkbookFault m_fault;
};

// A file name, sheet name or text quoted as the messages quote it: “…”.
inline std::string inQuotes(const std::string& text) {
    return "“" + text + "”";
}

// The advice that closes a message about a damaged or unreadable workbook.
inline constexpr const char* kSaveAgainAdvice =
    "请在电子表格程序中打开它，重新另存为Excel工作簿后重试。";

}  // namespace pos::workbook
