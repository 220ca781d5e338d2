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
    // Margins: with `margins` set, the first and the last run of the recording are left out
    // of the survey and of every split when their PCR time (TS_RunInfo::pcr_ticks) is below
    // `min_run_ticks` (27 MHz); the run report marks them instead. A run in the middle, and a
    // run without a PCR, is never a margin. The last run is known only at the end of the
    // input: a walk stopped before it (a PAT of several programs, a failed read) has none.
    uint8_t margins;
    uint64_t min_run_ticks;
    // Filled by the walk: the runs it found to be margins (0, 1 or 2).
    uint16_t margins_found;
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
// One file per run: run N of the recording (from 1) into "<base>_NN_<CRC>.ts" (NN two digits
// or more), with what the split writer writes for it. Results and failures as for
// TS_PMTSplitFile. `written` receives one entry per file written (the first 256), in order:
// its CRC_32, its bytes and in u16Repeat nothing; nFile holds the run's number.
int32_t TS_PMTSplitRuns(const char* fileName, TS_PMTSplitTable* written = nullptr, TS_PMTOptions* options = nullptr);

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
    uint8_t margin;                      // a margin (TS_PMTOptions::margins)
    uint64_t pcr_first, pcr_last;        // first and last PCR, 27 MHz units (base * 300 + ext)
    uint64_t pcr_ticks;                  // PCR time covered, 27 MHz, wraps of 33 bits handled
    uint16_t stream_count;
    TS_RunStream streams[TS_MAX_ELEMENTARY_PIDS];
};
struct TS_RunReport {
    uint32_t packet_size;  // 188, 192 (M2TS) or 204
    uint16_t run_count;
    uint8_t margins;       // margins were looked for: each run says whether it is one
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

// Timeline: a picture of a one-program recording. Its axis is the PCR time of the program
// followed (the steps between its PCRs added up, a step backwards or of more than 10 s
// adding nothing), or the byte offset when the input has no PCR. The input is cut into
// TS_TIMELINE_BINS bins of equal size (a power of two bytes, doubled whenever the input
// outgrows them); each bin keeps the PCR time at its start (between two PCRs, time goes
// with the bytes), whether each stream had a packet in it, and how much damage the scan met
// there.
inline constexpr uint32_t TS_TIMELINE_BINS = 1024;
inline constexpr uint32_t TS_TIMELINE_LANES = 64;  // streams drawn; others are counted
struct TS_TimelineLane {
    uint16_t PID;
    uint8_t present[TS_TIMELINE_BINS / 8];  // bit b: a packet of the PID in bin b
};
struct TS_Timeline {
    uint32_t shift;       // bin b holds the input bytes from b << shift on
    uint64_t bytes;       // input offset after the last packet
    uint8_t has_clock;    // a PCR was met
    uint64_t clock;       // PCR time at the end, 27 MHz
    uint32_t clock_bins;                           // bins up to the last PCR: those that ...
    uint64_t bin_clock[TS_TIMELINE_BINS];          // ... have their PCR time at their start
    uint32_t crc_failures[TS_TIMELINE_BINS];       // sections that failed their CRC_32
    uint32_t continuity_breaks[TS_TIMELINE_BINS];
    uint32_t resyncs[TS_TIMELINE_BINS];            // sync lost and regained before a packet
    uint16_t lane_count;
    uint16_t lanes_left_out;                       // streams beyond TS_TIMELINE_LANES
    TS_TimelineLane lanes[TS_TIMELINE_LANES];      // in order of first appearance in a run
};
// Fills `timeline` and `report` (as TS_SurveyRuns does) from one pass over `fileName`.
// Results as for TS_SurveyRuns.
int32_t TS_SurveyTimeline(TS_Timeline* timeline, TS_RunReport* report, const char* fileName,
                          TS_PMTOptions* options = nullptr);
// Writes the timeline as one self-contained SVG document on standard output: the time axis,
// a band per run coloured by its PMT (margins hatched when they were looked for), a lane per
// stream with its PID, codec and languages showing where its packets are, and the damage
// marks. -1 for a null argument, else 0.
int32_t TS_PrintTimeline(const TS_Timeline* timeline, const TS_RunReport* report, const char* fileName);
