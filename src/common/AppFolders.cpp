// The folders of the field maps, the store and new workbooks.
#include "common/AppFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Files.h"

namespace pos {

namespace {

const char* const kAppName = "pos-transfer";

std::string withSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

bool isFolder(const std::string& path) {
    return !path.empty() && folderExists(path);
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return withSlash(home);
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) {
        return withSlash(pw->pw_dir);
    }
    return "/tmp/";
}

// An XDG base directory: the variable when it holds an absolute path (the
// rule of the XDG base directory convention), else the default under home.
std::string xdgFolder(const char* variable, const char* underHome) {
    if (const char* value = std::getenv(variable); value && value[0] == '/') {
        return withSlash(value);
    }
    return homeFolder() + underHome;
}

// The answer of `xdg-user-dir DOCUMENTS` when the program exists and names
// an existing folder; empty otherwise.
std::string documentsFolder() {
    FILE* pipe = ::popen("xdg-user-dir DOCUMENTS 2>/dev/null </dev/null", "r");
    if (pipe == nullptr) {
        return {};
    }
    std::string answer;
    char buf[512];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) {
        answer.append(buf, n);
    }
    const int status = ::pclose(pipe);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) {
        answer.pop_back();
    }
    if (status != 0 || answer.empty() || answer[0] != '/' || !isFolder(answer)) {
        return {};
    }
    return withSlash(answer);
}

}  // namespace

bool isWritableFolder(const std::string& dir) {
    return ::access(dir.empty() ? "." : dir.c_str(), W_OK) == 0;
}

std::string fieldMapFolder(const std::string& executableDir) {
    if (isWritableFolder(executableDir)) {
        return executableDir;
    }
    return xdgFolder("XDG_CONFIG_HOME", ".config/") + kAppName + "/";
}

std::string defaultStoreFolder(const std::string& executableDir) {
    if (isWritableFolder(executableDir)) {
        return executableDir + "data";
    }
    return xdgFolder("XDG_DATA_HOME", ".local/share/") + kAppName + "/data";
}

std::string defaultExportFolder(const std::string& executableDir) {
    if (isWritableFolder(executableDir)) {
        return executableDir;
    }
    const std::string documents = documentsFolder();
    return documents.empty() ? homeFolder() : documents;
}

std::string executableDir() {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) {
        return "./";
    }
    std::string path(buf.data(), static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

}  // namespace pos
