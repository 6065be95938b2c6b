#include "common/Files.h"

#include <filesystem>
#include <system_error>

namespace pos {

bool fileExists(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

bool regularFileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && !error;
}

bool folderExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error) && !error;
}

}  // namespace pos
