// Temporary folders for tests: a folder of the test's own, removed with
// everything in it afterwards, and a store folder whose database files are
// made through SQLite directly (not through the code under test).
#pragma once

#include <filesystem>
#include <string>

namespace pos::testing {

class TempDir {
public:
    // A new folder "PREFIX-XXXXXX" in the system's temporary folder.
    explicit TempDir(const std::string& prefix = "pos-test");
    // Removes the folder, also after a test took permissions away from it.
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    // The folder followed by "/", ready for a file name.
    std::string dir() const { return m_path.string() + "/"; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// A store folder (one NAME.db per database) of its own for one test.
class TempStore {
public:
    TempStore();

    // The folder, without a trailing "/".
    std::string dir() const { return m_dir.path().string(); }
    std::string path(const std::string& name) const { return dir() + "/" + name + ".db"; }

    // Creates NAME.db and runs `sql` in it.
    void createDatabase(const std::string& name, const std::string& sql = "") const;
    void writeFile(const std::string& file, const std::string& bytes) const;

private:
    TempDir m_dir;
};

// The whole file as bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// Replaces the file's content with `bytes`.
void writeFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace pos::testing
