// Owning handles for libgsf's objects (g_object_unref on scope exit) and the
// one-time library set-up.
#pragma once

#include <glib-object.h>
#include <gsf/gsf.h>

#include <memory>
#include <string>

namespace pos::workbook {

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object != nullptr) {
            g_object_unref(object);
        }
    }
};

template <typename T>
using GsfHandle = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorHandle = std::unique_ptr<GError, GErrorFree>;

// Calls gsf_init() once per process.
void ensureGsf();

// While one lives, the warnings and criticals that libgsf (and GObject under
// it) log on this thread are dropped: on a damaged file they only restate,
// in a library's words on the terminal, what our message tells the user.
// Messages of other threads, and of other times, pass as before.
class QuietGsf {
public:
    QuietGsf();
    ~QuietGsf();
    QuietGsf(const QuietGsf&) = delete;
    QuietGsf& operator=(const QuietGsf&) = delete;
};

// The message of a GError, or `fallback` when there is none.
inline std::string errorMessage(const GError* error, const char* fallback) {
    return error != nullptr && error->message != nullptr ? std::string(error->message)
                                                         : std::string(fallback);
}

}  // namespace pos::workbook
