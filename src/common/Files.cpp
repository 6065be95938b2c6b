#include "common/Files.h"

#include <filesystem>
#include <system_error>

namespace pos {

bool fileExists(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

}  // namespace pos
