// The one ISO 8601 date codec: "YYYY-MM-DD", "YYYY-MM-DD hh:mm:ss" and
// "YYYY-MM-DD hh:mm:ss.fff" (a 'T' may stand for the blank), as the store
// keeps dates and as a workbook's date cells hold them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/Value.h"

namespace pos {

// What may follow the date and time.
enum class IsoTail {
    None,     // nothing: the text is a date and nothing else (a store column)
    Ignored,  // anything (a time zone "Z" or "+08:00" of a workbook cell)
};

// Reads a date with an optional time of day; the fraction of a second keeps
// its first three digits. Nullopt when the text is no valid date (a month
// past 12, a day its month does not have, a minute past 59, a letter among
// the digits).
std::optional<DateTime> parseIsoDateTime(std::string_view text, IsoTail tail);

// What the date's text holds.
enum class IsoForm {
    DateTime,              // "YYYY-MM-DD hh:mm:ss", with ".fff" when there are milliseconds
    DateOnlyWhenMidnight,  // as DateTime without milliseconds; the date alone at 00:00:00.000
};

std::string formatIsoDateTime(const DateTime& d, IsoForm form);

}  // namespace pos
