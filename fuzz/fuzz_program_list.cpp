// The program list (TS_GetProgramList) over the fuzzer's bytes as the input file. Byte 0
// holds options (see driver.h), the rest is the file.
#include "driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TS_ProgramList list;
    uint8_t options = 0;
    fuzz::PrepareInput(data, size, &options);
    list.u16ProgramCount = 0;
    if (TS_GetProgramList(&list, fuzz::TheScratch().input()) != 0) fuzz::Finding("program list failed");
    if (list.u16ProgramCount > TS_MAX_PROGRAMS) fuzz::Finding("program list overflows");
    for (uint16_t i = 0; i < list.u16ProgramCount; ++i)
        if (list.lu16ProgramNumber[i] == 0) fuzz::Finding("network entry listed as a program");
    fuzz::TheScratch().Clean();
    return 0;
}
