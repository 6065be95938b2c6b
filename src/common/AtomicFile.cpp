// Atomic file replacement.
#include "common/AtomicFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace pos {

namespace {

// The umask the process started with, read once before any thread of the
// program runs. /proc tells it without changing it; only where it cannot is
// it set and set back, which is safe while the process has one thread.
mode_t readUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
        }
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

const mode_t kStartUmask = readUmask();

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A new file with an unused hidden name in `folder`; its descriptor, or -1.
int createHidden(const std::string& folder, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt <= 100; ++attempt) {
        name = folder + "/" + std::string(kTemporaryFilePrefix) + std::to_string(::getpid()) + "-" +
               std::to_string(counter++) + ".tmp";
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// A name for a file without one (O_TMPFILE) in `folder`: linked under a
// hidden name; false with errno set when it cannot be.
bool linkHidden(int fd, const std::string& folder, std::string& name) {
    static std::atomic<unsigned> counter{0};
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt <= 100; ++attempt) {
        name = folder + "/" + std::string(kTemporaryFilePrefix) + std::to_string(::getpid()) +
               "-l" + std::to_string(counter++) + ".tmp";
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

// Closes the descriptor and removes the hidden name, if any, on every way out.
struct TemporaryFile {
    int fd = -1;
    std::string name;  // empty while the file has none
    ~TemporaryFile() {
        if (fd >= 0) {
            ::close(fd);
        }
        if (!name.empty()) {
            ::unlink(name.c_str());
        }
    }
};

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw AtomicFileError(AtomicFileError::Step::Write, errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

AtomicFileError::AtomicFileError(Step step, int error)
    : std::runtime_error(std::strerror(error)), m_step(step), m_error(error) {}

unsigned newFileMode(const std::string& target) {
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
        return info.st_mode & 07777;
    }
    return 0666 & ~kStartUmask;
}

void writeFileAtomically(const std::string& target,
                         const std::function<void(const std::string& path)>& write,
                         const AtomicFileOptions& options) {
    const std::string folder = folderOf(target);
    const mode_t mode = newFileMode(target);
    TemporaryFile temp;
    if (!options.writerNeedsName) {
        // Without a name, the file vanishes with the process however it ends.
        temp.fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
    if (temp.fd < 0) {
        temp.fd = createHidden(folder, temp.name);
        if (temp.fd < 0) {
            throw AtomicFileError(AtomicFileError::Step::Create, errno);
        }
    }
    write(temp.name.empty() ? "/proc/self/fd/" + std::to_string(temp.fd) : temp.name);
    if (::fchmod(temp.fd, mode) != 0 || ::fsync(temp.fd) != 0) {
        throw AtomicFileError(AtomicFileError::Step::Write, errno);
    }
    if (temp.name.empty()) {
        if (options.keepExisting) {
            // A link fails where a file is: nothing there is ever replaced.
            const std::string self = "/proc/self/fd/" + std::to_string(temp.fd);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) !=
                0) {
                throw AtomicFileError(AtomicFileError::Step::Place, errno);
            }
            return;
        }
        if (!linkHidden(temp.fd, folder, temp.name)) {
            throw AtomicFileError(AtomicFileError::Step::Create, errno);
        }
    }
    const int placed = options.keepExisting ? ::renameat2(AT_FDCWD, temp.name.c_str(), AT_FDCWD,
                                                          target.c_str(), RENAME_NOREPLACE)
                                            : ::rename(temp.name.c_str(), target.c_str());
    if (placed != 0) {
        throw AtomicFileError(AtomicFileError::Step::Place, errno);
    }
    temp.name.clear();  // it is the target's now
}

void writeFileAtomically(const std::string& target, std::string_view bytes) {
    writeFileAtomically(target, [&](const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) {
            throw AtomicFileError(AtomicFileError::Step::Write, errno);
        }
        try {
            writeAll(fd, bytes);
        } catch (...) {
            ::close(fd);
            throw;
        }
        if (::close(fd) != 0) {
            throw AtomicFileError(AtomicFileError::Step::Write, errno);
        }
    });
}

}  // namespace pos
