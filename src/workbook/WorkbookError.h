// The error that every workbook operation raises, with a message a user can act on.
#pragma once

#include <stdexcept>

namespace pos::workbook {

class WorkbookError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace pos::workbook
