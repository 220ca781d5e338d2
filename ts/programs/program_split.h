// Program splitter: the program list of a file, the PAT packet builder, and the splits by
// program (every program into a file of its own, or one program into a named file).
#pragma once

#include <cstdint>

#include "../psi/psi.h"

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
    uint32_t u32Generation;  // PATs without the program since the entry was made
    int32_t nFile;           // output slot of the open file; -1 when none is open
    uint8_t u8Written;       // a file was written for the program (it had an intact PMT)
};

// Bookkeeping of TS_ProgramSplitFile: entries in order of creation, never removed.
struct TS_PNSplitData {
    uint16_t u16Count;
    TS_PNSplitEntry ltEntry[TS_MAX_PROGRAMS];
};

extern TS_PNSplitData g_tPNSplitData;

// How the splits by program write. A null options record means the defaults below.
struct TS_ProgramSplitOptions {
    // Also copy into every file, unchanged and in input order, the packets of the
    // service-information PIDs (TS_IsServiceInformationPID).
    uint8_t keep_si;
    // Base of the generated output names of the split to files (null: the input's name less
    // its extension).
    const char* output_base;
};

// Called with the name of each output file when it has been opened, in creation order.
using TS_OutputOpenedHandler = void (*)(void* context, const char* name);

// Fills `list` from the last intact PAT section of `fileName` (left as passed when the file
// holds none). -1: a null argument; -2: the input does not open.
int32_t TS_GetProgramList(TS_ProgramList* list, const char* fileName);


// Splits `fileName` into one file per program of its PAT, named "%s_%u_%u_%u.ts" after the
// input's base name, program_number, duplicate rank and generation. A program's file is made
// at its first intact PMT; it gets a reduced PAT (the network entry, when the input has one,
// and the program's own entry) there and for every intact PAT after, then its program's PMT,
// PCR, CA and elementary stream packets, each packet once, unchanged and in input order.
// Programs of the PAT that never had an intact PMT are named in a warning. -1: null
// name; -2: the input does not open; -3: an output does not open (or is the input); -5: a
// write failed; TS_READ_FAILED. After a failure the files not completed by then are
// removed (output.h). `opened` hears of every file opened.
int32_t TS_ProgramSplitFile(const char* fileName, TS_OutputOpenedHandler opened = nullptr,
                            void* context = nullptr, const TS_ProgramSplitOptions* options = nullptr);

// Copies the program whose PMT travels on `pid` into `outputName`: its PMT, PCR, CA and
// elementary stream packets, each once, unchanged and in input order, without PAT. The
// program is followed from the first intact PAT that lists it (also when it enters the PAT
// late); the output is opened at its first intact PMT; the split ends at a PAT that no longer
// lists it. 0 also when no PMT of the program comes (no output is made then; `opened` is not
// called). -1: a null name; -2: the input does not open; -3: the output does not open (or is
// the input); -5: a write failed; TS_READ_FAILED.
int32_t TS_ProgramSplitStream(const char* outputName, const char* fileName, uint16_t pid,
                              TS_OutputOpenedHandler opened = nullptr, void* context = nullptr,
                              const TS_ProgramSplitOptions* options = nullptr);
