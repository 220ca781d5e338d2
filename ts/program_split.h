// Program splitter: the program list of a file, the PAT packet builder, and the splits by
// program (every program into a file of its own, or one program into a named file).
#pragma once

#include <cstdint>

#include "ts.h"

// The programs that the last intact PAT section of a file announces, in the order of its
// program loop. The network entry (program_number 0) is never listed.
struct TS_ProgramList {
    uint16_t u16ProgramCount;
    uint16_t lu16ProgramNumber[TS_MAX_PROGRAMS];
    uint16_t lu16PMTPID[TS_MAX_PROGRAMS];
};

// One program of the split to files and its current output.
struct TS_PNSplitEntry {
    uint16_t u16ProgramNumber;
    uint16_t u16PMTPID;      // the PMT PID the last PAT listing the program gave it
    uint16_t u16Duplicate;   // rank among entries of the same program_number in its first PAT
    uint16_t u16Generation;  // PAT sections without the program since the entry was made
    int32_t nFile;           // output slot of the open file; -1 when none is open
};

// Bookkeeping of TS_ProgramSplitFile: entries in order of creation, never removed.
struct TS_PNSplitData {
    uint16_t u16Count;
    TS_PNSplitEntry ltEntry[TS_MAX_PROGRAMS];
};

extern TS_PNSplitData g_tPNSplitData;

// Called with the name of each output file when it has been opened, in creation order.
using TS_OutputOpenedHandler = void (*)(void* context, const char* name);

// Fills `list` from the last intact PAT section of `fileName` (left as passed when the file
// holds none). -1: a null argument; -2: the input does not open.
int32_t TS_GetProgramList(TS_ProgramList* list, const char* fileName);

// Builds one 188-byte packet carrying the whole PAT section of `pat` behind the header
// `header` and a pointer_field 0, with a computed CRC_32 and 0xFF stuffing. section_length is
// written as `pat` holds it (9 + 4 × program_count for a consistent section). -1: a null
// argument, nothing written.
int32_t TS_PAT_ToPacket(uint8_t* packet, const TS_Header* header, const TS_PAT* pat);

// Splits `fileName` into one file per program of its PAT, named "%s_%d_%d_%d.ts" after the
// input's base name, program_number, duplicate rank and generation. Each file gets a reduced
// PAT (the network entry, when the input has one, and the program's own entry) for every
// intact PAT section, then its program's PMT, PCR, CA and elementary stream packets, each
// packet once and unchanged. -1: null name; -2: the input does not open; -3: an output does
// not open (or is the input); -5: a write failed. After a failure the files not completed
// by then are removed (output.h). `opened` hears of every file opened.
int32_t TS_ProgramSplitFile(const char* fileName, TS_OutputOpenedHandler opened = nullptr,
                            void* context = nullptr);

// Copies the program whose PMT travels on `pid` into `outputName`: its PMT, PCR, CA and
// elementary stream packets, each once and unchanged, without PAT. The output is opened at
// the first intact PAT that lists the program; the split ends at a PAT that no longer does.
// 0 also when the program is never listed (no output is made then; `opened` is not called).
// -1: a null name; -2: the input does not open; -3: the output does not open (or is the
// input); -5: a write failed.
int32_t TS_ProgramSplitStream(const char* outputName, const char* fileName, uint16_t pid,
                              TS_OutputOpenedHandler opened = nullptr, void* context = nullptr);
