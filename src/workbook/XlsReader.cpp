// The .xls reader's container: the Workbook stream of an OLE2 compound file
// (BIFF8, and the BIFF5/7 of older programs), read once into memory and
// handed to the record walk (XlsBiffReader.cpp), whose faults become the
// messages a user meets. The cursor is XlsRecordCursor.h, the code pages of
// older files XlsCodePage.cpp.
#include "workbook/XlsReader.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input-stdio.h>

#include <algorithm>
#include <memory>

#include "workbook/GsfHandles.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsBiffReader.h"
#include "workbook/XlsRecordCursor.h"

namespace pos::workbook {

namespace {

std::string encryptedMessage(const std::string& name) {
    return "无法读取工作簿" + inQuotes(name) +
           "：它设有打开密码（已加密）。请在电子表格程序中取消密码、保存后重试。";
}

WorkbookData readFromInput(GsfInput* input, const std::string& name, int rowLimit) {
    GError* rawError = nullptr;
    GsfHandle<GsfInfile> ole(gsf_infile_msole_new(input, &rawError));
    GErrorHandle error(rawError);
    if (!ole) {
        throw WorkbookError("无法读取文件" + inQuotes(name) +
                                "：它不是Excel工作簿（.xls或.xlsx），或者文件已损坏、不完整（" +
                                errorMessage(error.get(), "复合文档已损坏") + "）。" +
                                kSaveAgainAdvice,
                            WorkbookFault::Damaged);
    }
    for (const char* encrypted : {"EncryptedPackage", "EncryptionInfo"}) {
        GsfHandle<GsfInput> child(gsf_infile_child_by_name(ole.get(), encrypted));
        if (child) {
            throw WorkbookError(encryptedMessage(name), WorkbookFault::Encrypted);
        }
    }
    GsfHandle<GsfInput> stream;
    for (const char* streamName : {"Workbook", "Book", "WORKBOOK", "BOOK"}) {
        stream.reset(gsf_infile_child_by_name(ole.get(), streamName));
        if (stream) {
            break;
        }
    }
    if (!stream) {
        throw WorkbookError(
            "无法读取文件" + inQuotes(name) +
                "：它是复合文档，但其中没有工作簿（可能是其他程序的文档），不是Excel"
                "工作簿（.xls或.xlsx）。" +
                kSaveAgainAdvice,
            WorkbookFault::NotAWorkbook);
    }
    const gsf_off_t size = gsf_input_size(stream.get());
    const gsf_off_t containerSize = gsf_input_size(input);
    if (size < 0 || size > containerSize) {
        throw WorkbookError("无法读取工作簿" + inQuotes(name) +
                                "：文件已损坏（其中的工作簿数据比文件本身还大）。" +
                                kSaveAgainAdvice,
                            WorkbookFault::Damaged);
    }
    // Not zeroed first: the reads fill every byte.
    const auto length = static_cast<std::size_t>(size);
    const std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[length]);
    std::size_t done = 0;
    while (done < length) {
        const std::size_t n = std::min<std::size_t>(length - done, 1u << 20);
        if (gsf_input_read(stream.get(), n, bytes.get() + done) == nullptr) {
            throw WorkbookError("无法读取工作簿" + inQuotes(name) +
                                    "：文件已损坏或不完整，其中的工作簿数据无法读出。" +
                                    kSaveAgainAdvice,
                                WorkbookFault::Damaged);
        }
        done += n;
    }
    try {
        return biff::BiffReader(bytes.get(), length).read(rowLimit);
    } catch (const biff::Corrupt& c) {
        throw WorkbookError("无法读取工作簿" + inQuotes(name) + "：文件已损坏或不完整（" +
                                c.reason + "）。" + kSaveAgainAdvice,
                            WorkbookFault::Damaged);
    } catch (const biff::Encrypted&) {
        throw WorkbookError(encryptedMessage(name), WorkbookFault::Encrypted);
    } catch (const biff::TooOld&) {
        throw WorkbookError(olderThanExcel5Message(name), WorkbookFault::TooOld);
    } catch (const WorkbookError& e) {
        throw WorkbookError("无法读取工作簿" + inQuotes(name) + "：" + e.what(), e.fault());
    }
}

}  // namespace

bool isOldBiffStream(const unsigned char* head, std::size_t size) {
    if (size < 8) {
        return false;
    }
    // The start record of a sheet or workbook of Excel 2.x, 3.0 or 4.0: its
    // type, a length such a record has, the version, and a known kind of
    // sheet (worksheet, chart, macro sheet, or the workbook of 4.0).
    const std::uint16_t type = biff::le16(head);
    const std::uint16_t length = biff::le16(head + 2);
    const std::uint16_t kind = biff::le16(head + 6);
    return (type == 0x0009 || type == 0x0209 || type == 0x0409) && length >= 4 && length <= 20 &&
           (kind == 0x0010 || kind == 0x0020 || kind == 0x0040 || kind == 0x0100);
}

std::string olderThanExcel5Message(const std::string& name) {
    return "无法读取工作簿" + inQuotes(name) +
           "：这是Excel 5.0之前的版本（Excel 2.x–4.0）保存的工作簿，本程序不能读取，"
           "请在电子表格程序中另存为.xls或.xlsx后再导入。";
}

WorkbookData readXlsFromMemory(const std::uint8_t* data, std::size_t size,
                               const std::string& name) {
    const QuietGsf quiet;
    GsfHandle<GsfInput> input(gsf_input_memory_new(data, static_cast<gsf_off_t>(size), FALSE));
    if (!input) {
        throw WorkbookError("无法读取" + inQuotes(name) + "：数据是空的或无法读取。",
                            WorkbookFault::CannotRead);
    }
    return readFromInput(input.get(), name, kEveryRow);
}

WorkbookData readXls(const std::string& path, int rowLimit) {
    const QuietGsf quiet;
    GError* rawError = nullptr;
    GsfHandle<GsfInput> input(gsf_input_stdio_new(path.c_str(), &rawError));
    GErrorHandle error(rawError);
    if (!input) {
        throw WorkbookError("无法打开工作簿" + inQuotes(path) + "（" +
                                errorMessage(error.get(), "未知错误") +
                                "）。请检查文件是否存在并且可以读取。",
                            WorkbookFault::CannotRead);
    }
    return readFromInput(input.get(), path, rowLimit);
}

}  // namespace pos::workbook
