// The split of every program into files of its own (TS_ProgramSplitFile) over the fuzzer's
// bytes as the input file: every file written holds whole packets. Byte 0 holds options
// (see driver.h), the rest is the file.
#include "driver.h"

namespace {
void Opened(void* context, const char*) { ++*static_cast<uint32_t*>(context); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Scratch& scratch = fuzz::TheScratch();
    uint8_t options = 0;
    const uint32_t unit = fuzz::PrepareInput(data, size, &options);
    uint32_t opened = 0;
    int32_t r = TS_ProgramSplitFile(scratch.input(), Opened, &opened);
    if (r != 0) fuzz::Finding("program split failed on a writable scratch directory");
    const uint32_t files = scratch.CheckOutputs(unit);
    // Names repeat only when a program comes back under the same key and generation.
    if (files > opened) fuzz::Finding("program split left files it did not report");
    scratch.Clean();
    return 0;
}
