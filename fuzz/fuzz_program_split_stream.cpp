// The split of one program into a named file (TS_ProgramSplitStream) over the fuzzer's bytes
// as the input file: the output holds whole packets. The PMT PID is one of the program
// list's, chosen by bits 1-4 of byte 0, or with bit 5 set the 13 bits of the input's last two
// bytes. Byte 0 holds options (see driver.h), the rest is the file.
#include "driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TS_ProgramList list;
    fuzz::Scratch& scratch = fuzz::TheScratch();
    uint8_t options = 0;
    const uint32_t unit = fuzz::PrepareInput(data, size, &options);
    list.u16ProgramCount = 0;
    TS_GetProgramList(&list, scratch.input());
    uint16_t pid = 0x1000;
    if ((options & 0x20) == 0 && list.u16ProgramCount > 0 && list.u16ProgramCount <= TS_MAX_PROGRAMS)
        pid = list.lu16PMTPID[((options >> 1) & 15) % list.u16ProgramCount];
    else if (size >= 2)
        pid = static_cast<uint16_t>(((data[size - 2] << 8) | data[size - 1]) & 0x1FFF);
    const std::string out = scratch.Path("out.ts");
    int32_t r = TS_ProgramSplitStream(out.c_str(), scratch.input(), pid);
    if (r != 0) fuzz::Finding("program split of one stream failed on a writable scratch directory");
    if (scratch.CheckOutputs(unit) > 1) fuzz::Finding("program split of one stream wrote other files");
    scratch.Clean();
    return 0;
}
