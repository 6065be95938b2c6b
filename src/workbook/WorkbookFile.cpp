// Chooses the reader by the file's content: a compound file is .xls, a zip
// package .ods or .xlsx by the parts it holds, whatever the file's name says;
// a file of a format without a signature of its own is read by its
// extension. The bare record stream of Excel 2.x to 4.0 is named as such, to
// be saved again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "workbook/OdsReader.h"
#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"
#include "workbook/WorkbookFile.h"
#include "workbook/WorkbookFormats.h"
#include "workbook/XlsReader.h"
#include "workbook/XlsxReader.h"

namespace pos::workbook {

WorkbookData readWorkbookFile(const std::string& path, int rowLimit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            throw WorkbookError(
                "无法读取文件" + inQuotes(path) + "：文件不存在。请检查文件路径后重试。",
                WorkbookFault::CannotRead);
        }
        if (errno == EACCES || errno == EPERM) {
            throw WorkbookError("无法读取文件" + inQuotes(path) + "：没有读取它的权限（" +
                                    std::strerror(errno) + "）。请检查文件的权限后重试。",
                                WorkbookFault::CannotRead);
        }
        throw WorkbookError("无法打开文件" + inQuotes(path) + "（" + std::strerror(errno) +
                                "）。请检查文件是否存在并且可以读取。",
                            WorkbookFault::CannotRead);
    }
    struct stat info {};
    unsigned char head[8] = {};
    ssize_t got = 0;
    const bool isFile = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (isFile) {
        got = ::read(fd, head, sizeof head);
    }
    const int readError = got < 0 ? errno : 0;
    ::close(fd);
    if (!isFile) {
        throw WorkbookError("无法读取" + inQuotes(path) +
                                "：它不是文件（可能是文件夹）。请选择一个工作簿（" +
                                extensionList() + "）。",
                            WorkbookFault::NotAWorkbook);
    }
    static const unsigned char kCompound[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (got == 8 && std::memcmp(head, kCompound, 8) == 0) {
        return readXls(path, rowLimit);
    }
    if (got >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0) {
        return isOpenDocumentPackage(path) ? readOds(path, rowLimit) : readXlsx(path, rowLimit);
    }
    if (got > 0 && isOldBiffStream(head, static_cast<std::size_t>(got))) {
        throw WorkbookError(olderThanExcel5Message(path), WorkbookFault::TooOld);
    }
    if (got < 0) {
        throw WorkbookError("无法读取文件" + inQuotes(path) + "：读取时出错（" +
                                std::strerror(readError) + "）。请检查文件所在的磁盘后重试。",
                            WorkbookFault::CannotRead);
    }
    const WorkbookFormat* format = formatForPath(path);
    const bool byExtension = format != nullptr && !format->knownByContent;
    if (got == 0) {
        throw WorkbookError(
            "无法读取文件" + inQuotes(path) +
                (byExtension ? std::string("：文件是空的，其中没有数据。")
                             : "：文件是空的，不是工作簿（" + extensionList() + "）。") +
                "请选择含有数据的工作簿。",
            WorkbookFault::NotAWorkbook);
    }
    if (byExtension) {
        return format->read(path, rowLimit);
    }
    throw WorkbookError("无法读取文件" + inQuotes(path) + "：它不是工作簿（" + extensionList() +
                            "）。" + kSaveAgainAdvice,
                        WorkbookFault::NotAWorkbook);
}

}  // namespace pos::workbook
