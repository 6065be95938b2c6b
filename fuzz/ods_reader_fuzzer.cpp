// libFuzzer target for the .ods reader: any bytes must end in a workbook or
// a WorkbookError, never a crash, a hang or unbounded memory.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "workbook/OdsReader.h"
#include "workbook/WorkbookError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reader opens packages by path (libzip needs to seek), so the input
    // goes to a private temporary file.
    static std::string path = [] {
        std::string templ = "/tmp/fuzz-ods-XXXXXX";
        int fd = ::mkstemp(templ.data());
        if (fd < 0)
            std::abort();
        ::close(fd);
        return templ;
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    try {
        pos::workbook::WorkbookData workbook = pos::workbook::readOds(path);
        const auto& sheet = workbook.firstSheet;
        if (!sheet.isEmpty()) {
            (void)sheet.cell(sheet.lastRow(), sheet.lastColumn());
        }
    } catch (const pos::workbook::WorkbookError&) {
    }
    return 0;
}
