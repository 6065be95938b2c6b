// The error that every database operation raises; its text is the back end's
// own message, so the user sees what the server or the store said.
#pragma once

#include <stdexcept>
#include <string>

namespace pos::db {

class DbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace pos::db
