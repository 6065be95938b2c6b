// The ISO 8601 date codec.
#include "common/IsoDate.h"

#include <cstdio>

namespace pos {

namespace {

// The `count` digits at `at` as a number; false when one is not a digit or
// the text ends first.
bool digitsAt(std::string_view s, std::size_t at, std::size_t count, int& out) {
    if (at + count > s.size()) {
        return false;
    }
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        value = value * 10 + (s[i] - '0');
    }
    out = value;
    return true;
}

// The days of `month` (1 to 12) in `year` of the Gregorian calendar.
int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<DateTime> parseIsoDateTime(std::string_view s, IsoTail tail) {
    DateTime d;
    d.hour = d.minute = d.second = d.millisecond = 0;
    if (!digitsAt(s, 0, 4, d.year) || s.size() < 10 || s[4] != '-' || !digitsAt(s, 5, 2, d.month) ||
        s[7] != '-' || !digitsAt(s, 8, 2, d.day)) {
        return std::nullopt;
    }
    std::size_t end = 10;
    const bool timeFollows = s.size() > 10 && (s[10] == 'T' || s[10] == ' ') &&
                             (tail == IsoTail::None || s.size() >= 19);
    if (timeFollows) {
        if (!digitsAt(s, 11, 2, d.hour) || s.size() < 19 || s[13] != ':' ||
            !digitsAt(s, 14, 2, d.minute) || s[16] != ':' || !digitsAt(s, 17, 2, d.second)) {
            return std::nullopt;
        }
        end = 19;
        if (s.size() > 19 && s[19] == '.') {
            int digits = 0;
            int fraction = 0;
            for (end = 20; end < s.size() && s[end] >= '0' && s[end] <= '9'; ++end, ++digits) {
                if (digits < 3) {
                    fraction = fraction * 10 + (s[end] - '0');
                }
            }
            for (; digits < 3; ++digits) {
                fraction *= 10;
            }
            d.millisecond = fraction;
        }
    }
    if (tail == IsoTail::None && end != s.size()) {
        return std::nullopt;
    }
    if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > daysInMonth(d.year, d.month) ||
        d.hour > 23 || d.minute > 59 || d.second > 59) {
        return std::nullopt;
    }
    return d;
}

std::string formatIsoDateTime(const DateTime& d, IsoForm form) {
    char buf[48];
    const bool midnight = d.hour == 0 && d.minute == 0 && d.second == 0 && d.millisecond == 0;
    if (form == IsoForm::DateOnlyWhenMidnight && midnight) {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
    } else if (form == IsoForm::DateTime && d.millisecond != 0) {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", d.year, d.month, d.day,
                      d.hour, d.minute, d.second, d.millisecond);
    } else {
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day,
                      d.hour, d.minute, d.second);
    }
    return buf;
}

}  // namespace pos
