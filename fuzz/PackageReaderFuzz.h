// What the fuzz targets of the zip-package readers (.xlsx, .ods) share: the
// readers open a package by path (libzip needs to seek), so each input goes
// to a private temporary file first; any bytes must then end in a workbook
// or a WorkbookError, never a crash, a hang or unbounded memory.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "workbook/SheetData.h"
#include "workbook/WorkbookError.h"

namespace pos::fuzz {

inline int readPackage(const std::uint8_t* data, std::size_t size, const char* pathTemplate,
                       workbook::WorkbookData (*read)(const std::string& path)) {
    static std::string path = [pathTemplate] {
        std::string name = pathTemplate;
        const int fd = ::mkstemp(name.data());
        if (fd < 0) {
            std::abort();
        }
        ::close(fd);
        return name;
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::abort();
    }
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    try {
        const workbook::WorkbookData workbook = read(path);
        const auto& sheet = workbook.firstSheet;
        if (!sheet.isEmpty()) {
            (void)sheet.cell(sheet.lastRow(), sheet.lastColumn());
        }
    } catch (const workbook::WorkbookError&) {
    }
    return 0;
}

}  // namespace pos::fuzz
