// pmt-sizes FILE: the survey of FILE with exact sizes, for the corruption run. One line per
// PMT in listing order, "CRC32 BYTES" (hexadecimal CRC-32, decimal bytes over all its runs),
// then "result N" with the survey's result and "runs N" with the number of runs.
#include <cstdio>

#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: pmt-sizes FILE\n", stderr);
        return 2;
    }
    static TS_PMTSplitTable table;
    int32_t r = TS_CheckPMTSplit(&table, argv[1]);
    for (uint16_t i = 0; i < table.u16Count; ++i) {
        if (table.ltEntry[i].u16Repeat != 0) continue;
        unsigned long long total = 0;
        for (uint16_t k = 0; k < table.u16Count; ++k)
            if (table.ltEntry[k].u32CRC32 == table.ltEntry[i].u32CRC32) total += table.ltEntry[k].u64Size;
        std::printf("%08X %llu\n", table.ltEntry[i].u32CRC32, total);
    }
    unsigned runs = 0;
    for (uint16_t i = 0; i < table.u16Count; ++i) runs += table.ltEntry[i].u32Runs;
    std::printf("result %d\nruns %u\n", r, runs);
    return r == -2 ? 1 : 0;
}
