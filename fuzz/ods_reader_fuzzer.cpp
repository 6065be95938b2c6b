// libFuzzer target for the .ods reader.
#include "PackageReaderFuzz.h"
#include "workbook/OdsReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return pos::fuzz::readPackage(data, size, "/tmp/fuzz-ods-XXXXXX", [](const std::string& path) {
        return pos::workbook::readOds(path);
    });
}
