// The PMT survey (TS_CheckPMTSplit) over the fuzzer's bytes as the input file, and the run
// report that walks the stream with the survey's rules (TS_SurveyRuns, TS_PrintRuns): the
// report's runs of each PMT must be the survey's runs and bytes of that PMT. Byte 0 holds options (see driver.h), the rest
// is the file.
#include "driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TS_PMTSplitTable table;
    uint8_t options = 0;
    const uint32_t unit = fuzz::PrepareInput(data, size, &options);
    const char* input = fuzz::TheScratch().input();
    int32_t r = TS_CheckPMTSplit(&table, input);
    if (r != 0 && r != -3) fuzz::Finding("survey failed on a readable input");
    if (table.u16Count > 256) fuzz::Finding("survey table overflows");
    for (uint16_t i = 0; i < table.u16Count; ++i) {
        const TS_PMTSplitEntry& e = table.ltEntry[i];
        if (e.u64Size % unit != 0) fuzz::Finding("survey size is not whole packets");
        for (uint16_t k = 0; k < i; ++k)
            if (table.ltEntry[k].u32CRC32 == e.u32CRC32) fuzz::Finding("survey lists a PMT twice");
        if (e.u16Repeat != 0 || e.u32Runs == 0) fuzz::Finding("survey entry is not one distinct PMT");
    }
#ifdef VELKARIN_FUZZ_RUN_REPORT
    static TS_RunReport report;
    if (TS_SurveyRuns(&report, input) != r) fuzz::Finding("run report and survey end differently");
    if (report.run_count > TS_MAX_RUNS) fuzz::Finding("run report overflows");
    uint32_t runs = 0;
    for (uint16_t i = 0; i < table.u16Count; ++i) runs += table.ltEntry[i].u32Runs;
    if (table.u16Count < 256 && runs <= TS_MAX_RUNS) {
        if (report.run_count != runs) fuzz::Finding("run report counts other runs than the survey");
        for (uint16_t i = 0; i < table.u16Count; ++i) {
            uint64_t bytes = 0;
            uint32_t count = 0;
            for (uint16_t k = 0; k < report.run_count; ++k)
                if (report.runs[k].CRC_32 == table.ltEntry[i].u32CRC32) bytes += report.runs[k].bytes, ++count;
            if (bytes != table.ltEntry[i].u64Size || count != table.ltEntry[i].u32Runs)
                fuzz::Finding("run report sizes differ from the survey");
        }
    }
    TS_PrintRuns(&report, input, false);
    TS_PrintRuns(&report, input, true);
    std::fflush(stdout);
#endif
    fuzz::TheScratch().Clean();
    return 0;
}
