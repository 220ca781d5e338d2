// velkarin: lists the PMTs of a one-program MPEG-2 transport stream with their sizes, and
// splits the stream into one file per PMT.
#include <cstdio>
#include <cstring>

#include "pmt/pmt.h"

namespace {

// The front end's own name buffer: the output name of the -l request.
char g_strString1[TS_NAME_CAPACITY];

constexpr int kFailure = 1;
constexpr int kInvalidCRC = 255;

void PrintUsage() {
    std::puts("=== Velkarin === v1.00");
    std::puts("Split PMT and streams from one-program MPEG-2 TS file.");
    std::puts("Usage: velkarin <input TS filename> [-a] [-l] [<PMT CRC32> [<output TS filename>]]");
    std::puts("To check PMT CRC32, <input TS filename> only to parameter.");
    std::puts("");
    std::puts("-a : Output all PMT and streams.");
    std::puts("-l : Output most large PMT and streams.");
}

// Hexadecimal CRC-32, with an optional 0x or 0X; the last eight digits count. At least one
// digit.
bool ParseCRC(const char* text, uint32_t* crc) {
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    if (*p == '\0') return false;
    uint32_t value = 0;
    for (; *p; ++p) {
        uint32_t digit;
        if (*p >= '0' && *p <= '9') digit = static_cast<uint32_t>(*p - '0');
        else if (*p >= 'a' && *p <= 'f') digit = static_cast<uint32_t>(*p - 'a' + 10);
        else if (*p >= 'A' && *p <= 'F') digit = static_cast<uint32_t>(*p - 'A' + 10);
        else return false;
        value = (value << 4) + digit;
    }
    *crc = value;
    return true;
}

// Reports a driver failure that the driver itself has not explained.
int Failed(int32_t result, const char* input) {
    if (result == -3)
        std::fprintf(stderr, "Error: %s carries more than one program; only one-program streams are handled.\n",
                     input);
    return kFailure;
}

// Total bytes of the PMT whose first run is entry `first`: all its runs together.
uint64_t TotalSize(const TS_PMTSplitTable& table, uint16_t first) {
    uint64_t total = 0;
    for (uint16_t i = 0; i < table.u16Count; ++i)
        if (table.ltEntry[i].u32CRC32 == table.ltEntry[first].u32CRC32) total += table.ltEntry[i].u64Size;
    return total;
}

int List(const char* input) {
    static TS_PMTSplitTable table;
    int32_t r = TS_CheckPMTSplit(&table, input);
    if (r == -2) return kFailure;
    for (uint16_t i = 0; i < table.u16Count; ++i)
        if (table.ltEntry[i].u16Repeat == 0)
            std::printf("PMT CRC32:0x%08X size:%dMB\n", table.ltEntry[i].u32CRC32,
                        static_cast<int>(TotalSize(table, i) >> 20));
    if (r != 0) return Failed(r, input);
    if (table.u16Count == 0) {
        // Say why, when sections were dropped for their CRC_32 (the damage line follows).
        const uint64_t failed = TS_GetDamage()->crc_failures;
        if (failed)
            std::fprintf(stderr, "No PMT found in %s: %llu sections failed their CRC_32.\n", input,
                         static_cast<unsigned long long>(failed));
        else
            std::fprintf(stderr, "No PMT found in %s.\n", input);
    }
    return 0;
}

int SplitAll(const char* input) {
    static TS_PMTSplitTable written;
    int32_t r = TS_PMTSplitFile(input, 1, 0, nullptr, &written);
    if (r != 0) return Failed(r, input);
    if (written.u16Count == 0) {
        std::fprintf(stderr, "Error: No PMT found in %s; nothing written.\n", input);
        return kFailure;
    }
    return 0;
}

int SplitCRC(const char* input, uint32_t crc, const char* output) {
    static TS_PMTSplitTable written;
    int32_t r = TS_PMTSplitFile(input, 0, crc, output, &written);
    if (r != 0) return Failed(r, input);
    if (written.u16Count == 0) {
        std::fprintf(stderr, "Error: No PMT with CRC32 0x%08X in %s; nothing written.\n", crc, input);
        return kFailure;
    }
    return 0;
}

int SplitLargest(const char* input) {
    static TS_PMTSplitTable table;
    int32_t r = TS_CheckPMTSplit(&table, input);
    if (r != 0) return Failed(r, input);
    // Of equal totals, the PMT listed first wins.
    int32_t chosen = -1;
    uint64_t largest = 0;
    for (uint16_t i = 0; i < table.u16Count; ++i) {
        if (table.ltEntry[i].u16Repeat != 0) continue;
        uint64_t total = TotalSize(table, i);
        if (chosen < 0 || total > largest) {
            chosen = i;
            largest = total;
        }
    }
    if (chosen < 0) {
        std::fprintf(stderr, "Error: No PMT found in %s; nothing written.\n", input);
        return kFailure;
    }
    if (GetBaseFileName(g_strString1, input, sizeof g_strString1 - 5) != 0) {
        std::fprintf(stderr, "Error: Failed open %s (name too long).\n", input);
        return kFailure;
    }
    std::strcat(g_strString1, "_L.ts");
    return SplitCRC(input, table.ltEntry[chosen].u32CRC32, g_strString1);
}

int Run(int argc, char** argv) {
    const char* input = argv[1];
    if (argc == 2) return List(input);
    if (argc == 3 && std::strcmp(argv[2], "-a") == 0) return SplitAll(input);
    if (argc == 3 && std::strcmp(argv[2], "-l") == 0) return SplitLargest(input);
    uint32_t crc = 0;
    if (!ParseCRC(argv[2], &crc)) {
        std::fputs("Error: invalid PMT CRC32.\n", stderr);
        return kInvalidCRC;
    }
    return SplitCRC(input, crc, argc == 4 ? argv[3] : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        PrintUsage();
        return 0;
    }
    TS_SetProgress(true);  // shown only when standard error is a terminal
    const int status = Run(argc, argv);
    if (status != kInvalidCRC) TS_ReportDamage("velkarin", argv[1]);
    return status;
}
