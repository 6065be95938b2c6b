// The texts of the help in the user's language. The catalogs are gettext's
// compiled .mo files, one per language, named pos-transfer.mo, in
// LANGUAGE/LC_MESSAGES/ below the locale folder: locale/ beside the program
// (a build or an unpacked copy), else the installed share/locale/. The
// language is the one LC_ALL, LC_MESSAGES or LANG names, in that order (the
// first that is set and not empty), whether or not the system has that
// locale. Texts without a translation stay as written (English).
#pragma once

#include <string>
#include <vector>

namespace pos {

// Loads the catalog of the user's language for the program in
// `executableDir` (with its trailing '/'); without one, no text changes.
void loadTranslations(const std::string& executableDir);

// The translation of `text`, or `text` itself.
std::string translated(const char* text);

// The translation of `text` with %1, %2, ... replaced by `values`.
std::string translated(const char* text, const std::vector<std::string>& values);

}  // namespace pos
