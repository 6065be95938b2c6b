// A store folder of its own for one test, removed afterwards, with helpers
// that make database files through SQLite directly (not through the code
// under test).
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace pos::testing {

class TempStore {
public:
    TempStore() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "pos-store-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_dir = tmpl;
    }
    ~TempStore() {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    const std::string& dir() const { return m_dir; }
    std::string path(const std::string& name) const { return m_dir + "/" + name + ".db"; }

    // Creates NAME.db and runs `sql` in it.
    void createDatabase(const std::string& name, const std::string& sql = "") const {
        sqlite3* db = nullptr;
        if (sqlite3_open(path(name).c_str(), &db) != SQLITE_OK) {
            sqlite3_close(db);
            throw std::runtime_error("cannot create " + path(name));
        }
        char* err = nullptr;
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
        std::string msg = err ? err : "";
        sqlite3_free(err);
        sqlite3_close(db);
        if (rc != SQLITE_OK) {
            throw std::runtime_error("setup SQL failed: " + msg);
        }
    }

    void writeFile(const std::string& file, const std::string& bytes) const {
        std::ofstream(m_dir + "/" + file, std::ios::binary) << bytes;
    }

private:
    std::string m_dir;
};

}  // namespace pos::testing
