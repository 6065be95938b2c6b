#include "support/TempDir.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pos::testing {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder from " + pattern);
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    // A test may have made a folder read-only or unsearchable to provoke an
    // error; give the owner its rights back so that everything can go.
    std::error_code ec;
    ::chmod(m_path.c_str(), 0700);
    for (auto it = fs::recursive_directory_iterator(m_path, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            ::chmod(it->path().c_str(), 0700);
        }
    }
    fs::remove_all(m_path, ec);
}

TempStore::TempStore() : m_dir("pos-store") {}

void TempStore::createDatabase(const std::string& name, const std::string& sql) const {
    sqlite3* db = nullptr;
    if (sqlite3_open(path(name).c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot create " + path(name));
    }
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    const std::string msg = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    if (rc != SQLITE_OK) {
        throw std::runtime_error("setup SQL failed: " + msg);
    }
}

void TempStore::writeFile(const std::string& file, const std::string& bytes) const {
    testing::writeFile(dir() + "/" + file, bytes);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace pos::testing
