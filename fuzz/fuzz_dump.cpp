// The dump (TS_Print) with every print flag over the fuzzer's bytes as the input file;
// standard output goes to /dev/null. Byte 0 holds options (see driver.h); with bit 1 set,
// the flags are byte 0's bits 2-7 spread over the mask instead of all of them.
#include "driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t options = 0;
    fuzz::PrepareInput(data, size, &options);
    uint32_t flags = TS_PRINT_ALL;
    if (options & 2) flags = ((options >> 2) * 0x9u) & TS_PRINT_ALL;
    int32_t r = TS_Print(fuzz::TheScratch().input(), flags);
    std::fflush(stdout);
    if (r != 0) fuzz::Finding("dump failed on a readable input");
    fuzz::TheScratch().Clean();
    return 0;
}
