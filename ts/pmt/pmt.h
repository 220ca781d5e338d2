// PMT separation: the survey of a one-program recording's runs of PMTs, the split writer
// that cuts it into one piece per PMT, and the run report.
#pragma once

#include <cstdint>

#include "../psi/codec.h"
#include "../psi/psi.h"

// ---------------------------------------------------------------------------------------------
// PMT survey and split
// ---------------------------------------------------------------------------------------------

// One distinct PMT of a recording (its CRC_32) with every run of it together.
struct TS_PMTSplitEntry {
    uint32_t u32CRC32;
    uint16_t u16Repeat;  // earlier entries with the same CRC_32: always 0, entries are distinct
    uint64_t u64Size;    // bytes the split writes for the PMT, all its runs together
    int32_t nFile;
    uint32_t u32Runs;    // runs of the PMT
};

struct TS_PMTSplitTable {
    uint16_t u16Count;
    TS_PMTSplitEntry ltEntry[256];
};

// What a survey, split or report follows and where a split writes. A null options record
// means the defaults below.
struct TS_PMTOptions {
    // The program followed, by program_number; 0: the one program of the PAT besides the
    // network entry (a PAT of several programs then stops the walk with -3).
    uint16_t program_number;
    // Also copy into every piece, unchanged and in input order, the packets of the
    // service-information PIDs (TS_IsServiceInformationPID); the survey counts them.
    uint8_t keep_si;
    // Base of the generated output names (null: the input's name less its extension).
    const char* output_base;
    // Filled when the walk stops for a PAT of several programs: their program_numbers.
    uint16_t program_count;
    uint16_t program_numbers[TS_MAX_PROGRAMS];
};

// Survey: the distinct PMTs of `fileName` (one program followed), in order of first
// appearance, with their runs and the bytes the split writer writes for each. 0 done; -1 null argument; -2 input does not open (message on
// standard error); -3 a PAT of several programs and none chosen (scan stopped, runs so far
// kept); TS_READ_FAILED.
int32_t TS_CheckPMTSplit(TS_PMTSplitTable* table, const char* fileName, TS_PMTOptions* options = nullptr);
// Split writer: every PMT into a file of its own (`all`), or the PMT with CRC_32 `crc` into
// `outputName` (null: "<base>_<CRC>.ts"). 0 done; -1 null argument; -2 input does not open;
// -3 a PAT of several programs and none chosen; -4 an output does not open (or is the input itself);
// -5 a write failed. Each failure is reported (TS_SetReportFunction), and the outputs not
// completed by then are removed (output.h). When `written` is given it
// receives one entry per output file: its CRC_32 and the bytes written to it.
int32_t TS_PMTSplitFile(const char* fileName, uint8_t all, uint32_t crc, const char* outputName,
                        TS_PMTSplitTable* written = nullptr, TS_PMTOptions* options = nullptr);

// Run report: the runs of the survey with where they lie in the input, their PCR time range
// and their streams.
inline constexpr uint32_t TS_MAX_RUNS = 256;
inline constexpr uint32_t TS_MAX_RUN_LANGUAGES = 16;
struct TS_RunStream {
    uint16_t PID;
    uint8_t stream_type;
    uint8_t language_count;
    TS_CodecId codec;   // TS_StreamCodec, or TS_StreamTypeCodec beyond the detailed records
    uint8_t dual_mono;  // TS_StreamDualMono: both languages are among `languages`
    uint32_t languages[TS_MAX_RUN_LANGUAGES];  // distinct ISO_639_language_codes, in order
};
struct TS_RunInfo {
    uint32_t CRC_32;
    uint64_t first_packet, last_packet;  // indices of the first and last packet of the run
    uint64_t first_byte, end_byte;       // offset of the first packet, offset after the last
    uint64_t bytes;                      // what the split writes for the run (the survey's size)
    uint8_t has_pcr;                     // a PCR was seen on the run's PCR_PID
    uint64_t pcr_first, pcr_last;        // first and last PCR, 27 MHz units (base * 300 + ext)
    uint64_t pcr_ticks;                  // PCR time covered, 27 MHz, wraps of 33 bits handled
    uint16_t stream_count;
    TS_RunStream streams[TS_MAX_ELEMENTARY_PIDS];
};
struct TS_RunReport {
    uint32_t packet_size;  // 188, 192 (M2TS) or 204
    uint16_t run_count;
    TS_RunInfo runs[TS_MAX_RUNS];
    TS_Damage damage;      // what the scan found damaged
};
// Fills `report` from one pass over `fileName` with the survey's rules. Results as for
// TS_CheckPMTSplit.
int32_t TS_SurveyRuns(TS_RunReport* report, const char* fileName, TS_PMTOptions* options = nullptr);
// Writes the report of `fileName` on standard output, as text or as one JSON document. Each
// stream line names its codec ("codec h264") when the PMT tells it and says "dual mono"
// for two mono channels in two languages; in JSON "codec" (null when unknown) and
// "dual_mono".
int32_t TS_PrintRuns(const TS_RunReport* report, const char* fileName, bool json);
