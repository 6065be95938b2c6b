// libFuzzer target for the .xlsx reader.
#include "PackageReaderFuzz.h"
#include "workbook/XlsxReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return pos::fuzz::readPackage(data, size, "/tmp/fuzz-xlsx-XXXXXX", [](const std::string& path) {
        return pos::workbook::readXlsx(path);
    });
}
