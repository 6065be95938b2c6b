// The error that every workbook operation raises, with a message a user can
// act on: in Chinese, saying what went wrong and what to do.
#pragma once

#include <stdexcept>
#include <string>

namespace pos::workbook {

class WorkbookError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file name, sheet name or text quoted as the messages quote it: “…”.
inline std::string inQuotes(const std::string& text) {
    return "“" + text + "”";
}

// The advice that closes a message about a damaged or unreadable workbook.
inline constexpr const char* kSaveAgainAdvice =
    "请在电子表格程序中打开它，重新另存为Excel工作簿后重试。";

}  // namespace pos::workbook
