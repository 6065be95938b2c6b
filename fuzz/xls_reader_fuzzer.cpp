// libFuzzer target for the .xls reader. An input that starts with the
// compound-file signature is read as a whole file; any other input is taken
// as a Workbook stream and wrapped in a compound file first, so that the
// mutations reach the BIFF records and not only the container.
#include <glib.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-output-memory.h>

#include <cstring>

#include "workbook/GsfHandles.h"
#include "workbook/WorkbookError.h"
#include "workbook/XlsReader.h"

namespace {

void quiet(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // libgsf reports damaged containers through g_critical; the reader turns
    // them into errors, so the log lines are only noise here.
    g_log_set_default_handler(quiet, nullptr);
    pos::workbook::ensureGsf();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pos::workbook;
    static const std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    try {
        if (size >= 8 && std::memcmp(data, kSignature, 8) == 0) {
            readXlsFromMemory(data, size, "fuzz input");
            return 0;
        }
        GsfHandle<GsfOutput> memory(gsf_output_memory_new());
        {
            GsfHandle<GsfOutfile> ole(gsf_outfile_msole_new(memory.get()));
            GsfHandle<GsfOutput> stream(gsf_outfile_new_child(ole.get(), "Workbook", FALSE));
            gsf_output_write(stream.get(), size, data);
            gsf_output_close(stream.get());
            gsf_output_close(GSF_OUTPUT(ole.get()));
        }
        const auto* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(memory.get()));
        const auto length = static_cast<std::size_t>(gsf_output_size(memory.get()));
        readXlsFromMemory(bytes, length, "fuzz stream");
    } catch (const WorkbookError&) {
        // A refused file is the expected outcome for most inputs.
    }
    return 0;
}
