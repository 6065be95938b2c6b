// The one way the program puts a file in place: written whole under a name
// nobody reads, then moved to its path in one step, so that a reader sees
// the old file or the new one and never a part. The new file takes the mode
// of the file it replaces, else the usual mode of a new file (0666 under the
// umask the process started with). The process umask is never changed: the
// other threads may be creating files at the same time.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pos {

// Where placing a file failed, and the system's error number.
class AtomicFileError : public std::runtime_error {
public:
    enum class Step {
        Create,  // no file could be made in the target's folder
        Write,   // writing or syncing the new file failed (a full disk)
        Place,   // the finished file could not be moved to its path
    };
    AtomicFileError(Step step, int error);
    Step step() const { return m_step; }
    int error() const { return m_error; }  // errno

private:
    Step m_step;
    int m_error;
};

struct AtomicFileOptions {
    // A file already at the target stays, and placing fails with EEXIST.
    bool keepExisting = false;
    // The writer makes files of its own beside the one it writes (a
    // database's journal), so the file gets a hidden name from the start
    // instead of none until it is whole.
    bool writerNeedsName = false;
};

// Writes the file at `target` with `write`, which gets the path to write to
// and reports its own failures by throwing (the new file is then removed and
// the exception passes on). Throws AtomicFileError for the steps around it.
// The temporary name is ".pos-new-PID-N.tmp" in the target's folder.
void writeFileAtomically(const std::string& target,
                         const std::function<void(const std::string& path)>& write,
                         const AtomicFileOptions& options = {});

// The same for bytes at hand.
void writeFileAtomically(const std::string& target, std::string_view bytes);

// The mode a file written to `target` gets: that of the file there now, else
// 0666 under the umask the process started with.
unsigned newFileMode(const std::string& target);

// The prefix of the temporary names, for a folder's clean-up of files that a
// killed process left.
inline constexpr std::string_view kTemporaryFilePrefix = ".pos-new-";

}  // namespace pos
