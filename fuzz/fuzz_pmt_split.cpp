// The PMT split writer in both modes over the fuzzer's bytes as the input file, held to the
// survey: every file holds whole packets, and each PMT's file is exactly as large as the
// survey says; a split that stops on a PAT of several programs leaves no file. Byte 0 holds options (see driver.h; bits 1-3 pick the PMT of the single
// split, bit 4 gives it a named output), the rest is the file.
#include <map>

#include "driver.h"

namespace {

// Bytes per CRC_32 over all runs, as the listing sums them.
std::map<uint32_t, uint64_t> SurveyTotals(const TS_PMTSplitTable& table) {
    std::map<uint32_t, uint64_t> totals;
    for (uint16_t i = 0; i < table.u16Count; ++i) totals[table.ltEntry[i].u32CRC32] += table.ltEntry[i].u64Size;
    return totals;
}

std::string GeneratedName(uint32_t crc) {
    char name[32];
    std::snprintf(name, sizeof name, "in_%08X.ts", crc);
    return fuzz::TheScratch().Path(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TS_PMTSplitTable survey, written;
    fuzz::Scratch& scratch = fuzz::TheScratch();
    uint8_t options = 0;
    const uint32_t unit = fuzz::PrepareInput(data, size, &options);
    const int32_t surveyed = TS_CheckPMTSplit(&survey, scratch.input());
    // Once the table is full, a PMT first met later is not listed (its runs have no room),
    // though it is written; every PMT listed still has its whole size.
    const bool full = survey.u16Count >= 256;
    const auto totals = SurveyTotals(survey);

    // Every PMT into a file of its own.
    int32_t r = TS_PMTSplitFile(scratch.input(), 1, 0, nullptr, &written);
    if (r != surveyed) fuzz::Finding("split -a and survey end differently");
    uint32_t files = scratch.CheckOutputs(unit);
    if (surveyed != 0) {
        if (files != 0) fuzz::Finding("split -a that stopped leaves files");
    } else {
        if (!full && (files != totals.size() || written.u16Count != totals.size()))
            fuzz::Finding("split -a writes another number of files than the survey lists");
        for (const auto& [crc, bytes] : totals)
            if (scratch.SizeOf(GeneratedName(crc)) != static_cast<int64_t>(bytes))
                fuzz::Finding("split -a file size differs from the survey", GeneratedName(crc).c_str());
    }
    scratch.Clean();

    // One PMT, chosen among the surveyed ones, or a CRC taken from the input's last bytes.
    uint32_t crc = 0;
    if (survey.u16Count) crc = survey.ltEntry[((options >> 1) & 7) % survey.u16Count].u32CRC32;
    else if (size >= 4)
        crc = (uint32_t{data[size - 4]} << 24) | (uint32_t{data[size - 3]} << 16) |
              (uint32_t{data[size - 2]} << 8) | data[size - 1];
    const bool named = options & 0x10;
    const std::string out = named ? scratch.Path("out.ts") : GeneratedName(crc);
    r = TS_PMTSplitFile(scratch.input(), 0, crc, named ? out.c_str() : nullptr, &written);
    if (r != surveyed) fuzz::Finding("single split and survey end differently");
    files = scratch.CheckOutputs(unit);
    if (surveyed != 0) {
        if (files != 0) fuzz::Finding("single split that stopped leaves files");
    } else if (!full || totals.count(crc)) {
        auto it = totals.find(crc);
        int64_t expected = it == totals.end() ? -1 : static_cast<int64_t>(it->second);
        if (scratch.SizeOf(out) != expected) fuzz::Finding("single split size differs from the survey", out.c_str());
        if (files != (expected >= 0 ? 1u : 0u)) fuzz::Finding("single split writes other files");
    }
    scratch.Clean();
    return 0;
}
