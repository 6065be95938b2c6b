// libFuzzer target for the CSV reader: any bytes must end in a sheet or a
// WorkbookError, never a crash, a hang or unbounded memory.
#include <cstdint>
#include <string_view>

#include "workbook/CsvReader.h"
#include "workbook/WorkbookError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const pos::workbook::WorkbookData workbook = pos::workbook::readCsvFromMemory(
            std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.csv");
        const auto& sheet = workbook.firstSheet;
        if (!sheet.isEmpty()) {
            (void)sheet.cell(sheet.lastRow(), sheet.lastColumn());
            (void)sheet.cell(sheet.firstRow(), sheet.firstColumn());
        }
    } catch (const pos::workbook::WorkbookError&) {
    }
    return 0;
}
