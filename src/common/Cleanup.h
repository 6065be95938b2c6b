// A clean-up step whose failure must not hide the error being handled (a
// rollback after a refused row, closing a workbook after a failed import):
// the step runs, and its own failure is logged or handed back instead of
// thrown.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace pos {

namespace detail {
// The text of the exception being handled; "未知错误" when it has none.
// Never throws.
std::string handledFailureText() noexcept;
}  // namespace detail

// Runs `step` and returns the text of its failure, empty when it succeeded.
// For a step whose failure the caller reports itself, or whose failure is the
// usual case and says nothing (dropping a view that is not there).
template <typename Step>
std::string cleanupFailure(Step&& step) noexcept {
    try {
        std::forward<Step>(step)();
    } catch (...) {
        return detail::handledFailureText();
    }
    return {};
}

// Writes one line to the standard error stream: the clean-up step `what`,
// named in Chinese ("回滚事务"), failed for `reason`. Never throws.
void logCleanupFailure(std::string_view what, const std::string& reason) noexcept;

// Runs `step`; a failure is logged with logCleanupFailure and goes no
// further.
template <typename Step>
void runCleanup(std::string_view what, Step&& step) noexcept {
    const std::string failure = cleanupFailure(std::forward<Step>(step));
    if (!failure.empty()) {
        logCleanupFailure(what, failure);
    }
}

}  // namespace pos
