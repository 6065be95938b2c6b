// Small text helpers shared by every layer.
#include "common/Text.h"

namespace pos {

namespace {
bool isTrimmable(unsigned char c) {
    return c <= ' ';
}
}  // namespace

std::string trimmed(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && isTrimmable(static_cast<unsigned char>(s[b]))) {
        ++b;
    }
    while (e > b && isTrimmable(static_cast<unsigned char>(s[e - 1]))) {
        --e;
    }
    return std::string(s.substr(b, e - b));
}

bool isBlank(std::string_view s) {
    for (char c : s) {
        if (!isTrimmable(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::size_t caselessHash(std::string_view s) {
    std::size_t h = 14695981039346656037ULL;
    for (const char c : s) {
        h = (h ^ static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c)) *
            1099511628211ULL;
    }
    return h;
}

}  // namespace pos
