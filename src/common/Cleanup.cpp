#include "common/Cleanup.h"

#include <cstdio>
#include <exception>

namespace pos {

namespace detail {

std::string handledFailureText() noexcept {
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            const std::string text = e.what();
            return text.empty() ? "未知错误" : text;
        } catch (...) {
            return "未知错误";
        }
    } catch (...) {
        // Out of memory while copying the text; this one is short enough
        // to need no memory of its own.
        return "未知错误";
    }
}

}  // namespace detail

void logCleanupFailure(std::string_view what, const std::string& reason) noexcept {
    // One call, so that the line of another thread does not cut through it.
    std::fprintf(stderr, "清理时出错（%.*s）：%s\n", static_cast<int>(what.size()), what.data(),
                 reason.c_str());
}

}  // namespace pos
