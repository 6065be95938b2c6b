// The styles part (xl/styles.xml): which cell formats show a date, decided
// from the number format of each cellXfs entry, and the conversion of serial
// day numbers to dates in the 1900 and 1904 systems.
#include <charconv>
#include <cmath>

#include "workbook/XlsxParts.h"

namespace pos::workbook::xlsx {

bool isBuiltinDateFormat(int id) {
    // 14-22 dates and times, 45-47 minutes and seconds, and the ids that the
    // Chinese, Japanese and Korean versions use for their date formats.
    return (id >= 14 && id <= 22) || (id >= 45 && id <= 47) || (id >= 27 && id <= 36) ||
           (id >= 50 && id <= 58);
}

bool isDateFormatCode(std::string_view code) {
    std::string lowered;
    for (std::size_t i = 0; i < code.size(); ++i) {
        char c = code[i];
        if (c == ';') {
            break;  // the first section decides
        }
        if (c == '"') {
            std::size_t close = code.find('"', i + 1);
            i = close == std::string_view::npos ? code.size() : close;
            continue;
        }
        if (c == '\\' || c == '_' || c == '*') {
            ++i;  // an escaped, padding or fill character is shown, not interpreted
            continue;
        }
        if (c == '[') {
            std::size_t close = code.find(']', i + 1);
            std::string_view inside =
                code.substr(i + 1, (close == std::string_view::npos ? code.size() : close) - i - 1);
            bool elapsed = !inside.empty();
            for (char k : inside) {
                char l = static_cast<char>(k | 0x20);
                elapsed = elapsed && (l == 'h' || l == 'm' || l == 's');
            }
            if (elapsed) {
                return true;
            }
            i = close == std::string_view::npos ? code.size() : close;
            continue;
        }
        lowered += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    for (std::size_t at; (at = lowered.find("general")) != std::string::npos;) {
        lowered.erase(at, 7);
    }
    for (std::size_t i = 0; i < lowered.size(); ++i) {
        char c = lowered[i];
        if (c == 'd' || c == 'm' || c == 'y' || c == 'h' || c == 's') {
            return true;
        }
        // "e" is a year, except in a scientific format's "E+" and "E-".
        if (c == 'e' &&
            !(i + 1 < lowered.size() && (lowered[i + 1] == '+' || lowered[i + 1] == '-'))) {
            return true;
        }
    }
    return false;
}

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(long long z, int& year, int& month, int& day) {
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2 ? 1 : 0));
}

constexpr long long kDays1899_12_30 = -25569;  // 1899-12-30 relative to 1970-01-01
constexpr long long kDays1904_01_01 = -24107;
constexpr long long kMsPerDay = 86400000;

}  // namespace

std::optional<DateTime> serialToDateTime(double serial, bool date1904) {
    if (!std::isfinite(serial) || serial < 0 || serial >= 2958466.0) {
        return std::nullopt;
    }
    long long ms = std::llround(serial * static_cast<double>(kMsPerDay));
    long long days = ms / kMsPerDay;
    long long msOfDay = ms % kMsPerDay;
    DateTime dt;
    if (date1904) {
        civilFromDays(kDays1904_01_01 + days, dt.year, dt.month, dt.day);
    } else if (days == 60) {
        dt.year = 1900;  // the day that the 1900 system counts although it never was
        dt.month = 2;
        dt.day = 29;
    } else if (days > 60 || days == 0) {
        // Day 0 (a time alone) is the zero date that automation reports.
        civilFromDays(kDays1899_12_30 + days, dt.year, dt.month, dt.day);
    } else {
        civilFromDays(kDays1899_12_30 + days + 1, dt.year, dt.month, dt.day);
    }
    if (dt.year > 9999) {
        return std::nullopt;
    }
    dt.hour = static_cast<int>(msOfDay / 3600000);
    dt.minute = static_cast<int>(msOfDay / 60000 % 60);
    dt.second = static_cast<int>(msOfDay / 1000 % 60);
    dt.millisecond = static_cast<int>(msOfDay % 1000);
    return dt;
}

namespace {

int toInt(std::string_view text, int fallback) {
    int v = fallback;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return ec == std::errc() && ptr == text.data() + text.size() ? v : fallback;
}

class StylesHandler : public XmlHandler {
public:
    Styles result;

    void startElement(std::string_view name, const std::vector<Attribute>& attributes) override {
        if (name == "numFmt") {
            auto id = findAttribute(attributes, "numFmtId");
            auto code = findAttribute(attributes, "formatCode");
            if (id && code) {
                m_customDate[toInt(*id, -1)] = isDateFormatCode(*code);
            }
        } else if (name == "cellXfs") {
            m_inCellXfs = true;
        } else if (name == "xf" && m_inCellXfs) {
            auto id = findAttribute(attributes, "numFmtId");
            int numFmt = id ? toInt(*id, 0) : 0;
            m_xfFormats.push_back(numFmt);
        }
    }
    void endElement(std::string_view name) override {
        if (name == "cellXfs") {
            m_inCellXfs = false;
        }
    }
    void characters(std::string_view) override {}

    void finish() {
        result.dateXf.reserve(m_xfFormats.size());
        for (int id : m_xfFormats) {
            // A custom format may redefine a built-in id; its code then decides.
            auto custom = m_customDate.find(id);
            result.dateXf.push_back(custom != m_customDate.end() ? custom->second
                                                                 : isBuiltinDateFormat(id));
        }
    }

private:
    bool m_inCellXfs = false;
    std::map<int, bool> m_customDate;
    std::vector<int> m_xfFormats;
};

}  // namespace

Styles readStyles(Package& package, const std::string& part) {
    StylesHandler handler;
    parsePart(package, part, handler);
    handler.finish();
    return std::move(handler.result);
}

}  // namespace pos::workbook::xlsx
