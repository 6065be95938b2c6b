// Chooses the reader by the file's content: a compound file is .xls, a zip
// package is .xlsx, whatever the file's name says.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"

namespace pos::workbook {

WorkbookData readWorkbookFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            throw WorkbookError("The workbook " + path + " does not exist. Check the path.");
        }
        throw WorkbookError("Cannot open the workbook " + path + ": " + std::strerror(errno) + ".");
    }
    struct stat info {};
    unsigned char head[8] = {};
    ssize_t got = 0;
    const bool isFile = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (isFile) {
        got = ::read(fd, head, sizeof head);
    }
    ::close(fd);
    if (!isFile) {
        throw WorkbookError("The path " + path + " is not a file.");
    }
    static const unsigned char kCompound[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (got == 8 && std::memcmp(head, kCompound, 8) == 0) {
        return readXls(path);
    }
    if (got >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0) {
        return readXlsx(path);
    }
    if (got <= 0) {
        throw WorkbookError("The workbook " + path + " is empty.");
    }
    throw WorkbookError("The file " + path +
                        " is not an Excel workbook (.xls or .xlsx). Open it in your spreadsheet "
                        "program and save it as an Excel workbook.");
}

}  // namespace pos::workbook
