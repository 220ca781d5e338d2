// list-pmts: what a transport stream carries, through the velkarin library as installed: the
// programs of its PAT (TS_GetProgramList), the distinct PMTs of its one program with their
// runs and sizes (TS_CheckPMTSplit), and the damage that scan met (TS_GetDamage).
//
//     list-pmts FILE.ts
#include <cinttypes>
#include <cstdio>

#include <velkarin/pmt/pmt.h>
#include <velkarin/programs/program_split.h>
#include <velkarin/ts.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: list-pmts FILE.ts  (velkarin %s)\n", VELKARIN_VERSION);
        return 2;
    }
    const char* file = argv[1];

    // The drivers share the library's static state: they run one after the other.
    TS_ProgramList programs{};
    int32_t status = TS_GetProgramList(&programs, file);
    if (status != 0) {  // -2: the library has already said that the file does not open
        std::fprintf(stderr, "list-pmts: %s: no program list (status %d)\n", file, status);
        return 1;
    }
    for (uint16_t i = 0; i < programs.u16ProgramCount; ++i)
        std::printf("program %u PMT PID 0x%04X\n", programs.lu16ProgramNumber[i], programs.lu16PMTPID[i]);

    TS_PMTSplitTable pmts{};
    status = TS_CheckPMTSplit(&pmts, file);
    if (status == -3) {
        std::fprintf(stderr, "list-pmts: %s carries several programs; the PMTs up to there follow\n", file);
    } else if (status != 0) {
        std::fprintf(stderr, "list-pmts: %s: survey failed (status %d)\n", file, status);
        return 1;
    }
    for (uint16_t i = 0; i < pmts.u16Count; ++i) {
        const TS_PMTSplitEntry& e = pmts.ltEntry[i];
        std::printf("PMT CRC32 0x%08X: %" PRIu32 " run%s, %" PRIu64 " bytes\n", e.u32CRC32, e.u32Runs,
                    e.u32Runs == 1 ? "" : "s", e.u64Size);
    }

    char damage[512];
    if (TS_Damage_Format(damage, sizeof damage, TS_GetDamage()) > 0) std::printf("damage: %s\n", damage);
    return status == 0 ? 0 : 1;
}
