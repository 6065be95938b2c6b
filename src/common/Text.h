// Small text helpers shared by every layer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pos {

// True when the text is empty after removing leading and trailing blanks and
// control characters (every byte up to and including the space).
bool isBlank(std::string_view s);

// Removes leading and trailing blanks and control characters.
std::string trimmed(std::string_view s);

// ASCII-only case folding and comparison (dataset keys, section names).
std::string asciiLower(std::string_view s);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
// A hash that two texts equal by equalsIgnoreCase share (FNV-1a over the
// folded bytes): names of columns and parameters in hash tables.
std::size_t caselessHash(std::string_view s);

}  // namespace pos
