// The store's folder: its databases, their names, and making a new one.
#include "db/StoreFolder.h"

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "common/AppFolders.h"
#include "common/AtomicFile.h"
#include "common/Files.h"
#include "common/Text.h"
#include "db/DbError.h"
#include "db/EmbeddedSql.h"
#include "db/SqliteFile.h"

namespace fs = std::filesystem;

namespace pos::db {

using store::registerNameCollation;
using store::storeReason;

std::string storeDirectory(const ConnectionSettings& settings) {
    if (!settings.storeDir.empty()) {
        return settings.storeDir;
    }
    return defaultStoreFolder(executableDir());
}

bool isValidStoreDatabaseName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    // No folder separator, and no control character that would split the
    // line a name travels in.
    return std::none_of(name.begin(), name.end(), [](char c) {
        return c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
}

std::vector<std::string> listStoreDatabases(const std::string& storeDir) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(storeDir, ec);
    if (ec) {
        throw DbError("数据库文件夹" + storeDir +
                      "无法读取，请检查它是否存在以及是否有读取的权限（" + ec.message() + "）。");
    }
    for (const fs::directory_entry& entry : it) {
        std::string file = entry.path().filename().string();
        if (file.size() > 3 && file.compare(file.size() - 3, 3, ".db") == 0 &&
            entry.is_regular_file(ec)) {
            names.push_back(file.substr(0, file.size() - 3));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The database files that a `demo` killed part-way left behind: temporary
// files ".pos-new-PID-N.tmp" (and their journals) of a process that no
// longer runs. No listing shows them, but they take room.
void removeAbandonedNewDatabases(const std::string& storeDir) {
    std::error_code ec;
    fs::directory_iterator it(storeDir, ec);
    if (ec) {
        return;
    }
    const std::string prefix(kTemporaryFilePrefix);
    std::vector<fs::path> abandoned;
    for (const fs::directory_entry& entry : it) {
        const std::string file = entry.path().filename().string();
        if (file.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const long pid = std::strtol(file.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            abandoned.push_back(entry.path());
        }
    }
    for (const fs::path& path : abandoned) {
        fs::remove(path, ec);
    }
}

void createStoreDatabase(const std::string& storeDir, const std::string& name,
                         const std::vector<std::string>& scripts) {
    if (!isValidStoreDatabaseName(name)) {
        throw DbError("“" + name + "”不能作为数据库名：" + kStoreNameRule);
    }
    std::error_code ec;
    fs::create_directories(storeDir, ec);
    // NAME.db-wal, the longest name among the database's files, must fit the
    // folder's limit on a file name.
    const long nameMax = ::pathconf(storeDir.c_str(), _PC_NAME_MAX);
    const std::size_t longest =
        static_cast<std::size_t>(nameMax > 0 ? nameMax : 255) - std::string_view(".db-wal").size();
    if (name.size() > longest) {
        throw DbError("“" + name + "”不能作为数据库名：名称太长，最多" + std::to_string(longest) +
                      "个字节（一个汉字占3个字节），请换一个短一些的名称。");
    }
    std::string target = storeDir + "/" + name + ".db";
    if (fileExists(target) || folderExists(target)) {
        throw DbError("数据库“" + name + "”已存在于数据库文件夹" + storeDir +
                      "中，请换一个名称或先删除" + target + "。");
    }
    // Built under a short hidden name that no listing shows (one made from
    // the database's name would not fit where NAME.db still does), and moved
    // into place without replacing: a database that appeared meanwhile is
    // never overwritten.
    std::string building;
    const auto build = [&](const std::string& tmp) {
        building = tmp;
        sqlite3* db = nullptr;
        int rc = sqlite3_open_v2(tmp.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        auto failWith = [&](const std::string& step) {
            std::string reason = storeReason(db, rc, tmp);
            sqlite3_close(db);
            throw DbError("创建数据库“" + name + "”时" + step + "出错：" + reason);
        };
        if (rc != SQLITE_OK || (rc = registerNameCollation(db)) != SQLITE_OK) {
            failWith("打开文件");
        }
        char* err = nullptr;
        rc = sqlite3_exec(db, "PRAGMA foreign_keys=ON; BEGIN", nullptr, nullptr, &err);
        sqlite3_free(err);
        if (rc != SQLITE_OK) {
            failWith("开始事务");
        }
        for (const std::string& script : scripts) {
            rc = sqlite3_exec(db, script.c_str(), nullptr, nullptr, &err);
            sqlite3_free(err);
            if (rc != SQLITE_OK) {
                failWith("运行建库脚本");
            }
        }
        rc = sqlite3_exec(db, "COMMIT; PRAGMA journal_mode=WAL", nullptr, nullptr, &err);
        sqlite3_free(err);
        if (rc != SQLITE_OK) {
            failWith("提交事务");
        }
        if (sqlite3_close(db) != SQLITE_OK) {
            throw DbError("数据库“" + name + "”创建后无法关闭，请重新创建。");
        }
    };
    const auto removeJournals = [&]() {
        for (const char* suffix : {"-journal", "-wal", "-shm"}) {
            std::error_code ignored;
            fs::remove(building + suffix, ignored);
        }
    };
    try {
        writeFileAtomically(target, build, {.keepExisting = true, .writerNeedsName = true});
    } catch (const AtomicFileError& e) {
        removeJournals();
        if (e.step() == AtomicFileError::Step::Create) {
            throw DbError("无法在数据库文件夹" + storeDir + "中创建文件，请检查是否有写入的权限（" +
                          e.what() + "）。");
        }
        throw DbError("数据库“" + name + "”无法移到" + target +
                      "，请检查数据库文件夹是否可以写入（" + e.what() + "）。");
    } catch (...) {
        removeJournals();
        throw;
    }
}

void createStoreDemoDatabase(const std::string& storeDir, const std::string& name) {
    createStoreDatabase(
        storeDir, name,
        {std::string(embeddedSql("schema_sqlite.sql")), std::string(embeddedSql("demo_data.sql"))});
}

std::string storeImportLockPath(const std::string& storeDir, const std::string& name) {
    return storeDir + "/." + name + ".import-lock";
}

void dropStoreDatabase(const std::string& storeDir, const std::string& name) {
    if (!isValidStoreDatabaseName(name)) {
        throw DbError("“" + name + "”不是数据库文件夹中的数据库名，无法删除。");
    }
    namespace fs = std::filesystem;
    const std::string base = storeDir + "/" + name;
    // The database file last: while it stands, the database is still listed
    // and can be removed again.
    const std::string files[] = {base + ".db-wal",      base + ".db-shm",
                                 base + ".db-journal",  storeImportLockPath(storeDir, name),
                                 base + ".import-lock", base + ".db"};
    for (const std::string& file : files) {
        std::error_code ec;
        fs::remove(file, ec);
        if (ec) {
            throw DbError("无法删除数据库文件" + file + "，请检查数据库文件夹" + storeDir +
                          "是否可以写入，再手工删除它（" + ec.message() + "）。");
        }
    }
}

}  // namespace pos::db
