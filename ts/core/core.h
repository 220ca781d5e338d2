// The decoding core of the ts library: transport packets (ISO/IEC 13818-1 2.4.3), the
// assembly of sections from them (2.4.4), the CRC-32, the damage a scan meets, and the
// names of output files.
//
// Plain records carrying the standard's field names, and free functions that fill them.
// Every operation returns a signed 32-bit status: 0 on success, -1 for a null pointer,
// further negative codes per operation. No function allocates; large state lives in
// static containers owned by the library.
#pragma once

#include <cstddef>
#include <cstdint>

// VELKARIN_VERSION ("1.0.0") and its parts, generated from the project's version.
#include <velkarin/version.h>

// ---------------------------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------------------------

inline constexpr uint32_t TS_PACKET_SIZE = 188;
inline constexpr uint32_t TS_M2TS_PACKET_SIZE = 192;  // 4-byte TP_extra_header + 188
inline constexpr uint32_t TS_RS_PACKET_SIZE = 204;    // 188 + 16-byte trailer (parity)
inline constexpr uint32_t TS_MAX_UNIT_SIZE = TS_RS_PACKET_SIZE;
inline constexpr uint8_t TS_SYNC_BYTE = 0x47;
inline constexpr uint64_t TS_READ_CHUNK = 33554432;  // 32 MiB
inline constexpr uint64_t TS_STREAM_CAPACITY = TS_READ_CHUNK + TS_PACKET_SIZE;
inline constexpr uint32_t TS_SECTION_CAPACITY = 2928;  // 16 packets of 183 bytes
inline constexpr uint16_t TS_PID_PAT = 0x0000;
inline constexpr uint16_t TS_PID_CAT = 0x0001;
inline constexpr uint16_t TS_PID_NULL = 0x1FFF;
inline constexpr size_t TS_NAME_CAPACITY = 65536;

// Results of the section imports beyond those of every operation.
inline constexpr int32_t TS_SECTION_WRAP_BREAK = -2;   // last counter 15, this one not 0
inline constexpr int32_t TS_SECTION_CC_BREAK = -3;     // counter is not last + 1
inline constexpr int32_t TS_SECTION_TOO_SHORT = -4;    // section_length below the minimum
inline constexpr int32_t TS_SECTION_TOO_LONG = -5;     // section does not fit the buffer

// Result of every driver whose input could not be read to its end (reported on standard
// error; outputs written so far are kept).
inline constexpr int32_t TS_READ_FAILED = -6;

// Where the 188-byte transport packet lies in a unit of `unit_size` bytes: behind the 4-byte
// header of a 192-byte unit, at the start of a 188- or 204-byte one.
constexpr uint32_t TS_UnitLead(uint32_t unit_size) { return unit_size == TS_M2TS_PACKET_SIZE ? 4u : 0u; }

// ---------------------------------------------------------------------------------------------
// Packet reader
// ---------------------------------------------------------------------------------------------

struct TS_Header {
    uint8_t sync_byte;
    uint8_t transport_error_indicator;
    uint8_t payload_unit_start_indicator;
    uint8_t transport_priority;
    uint16_t PID;
    uint8_t transport_scrambling_control;
    uint8_t adaptation_field_control;
    uint8_t continuity_counter;
};

struct TS_AdaptationField {
    uint8_t adaptation_field_length;
    uint8_t discontinuity_indicator;
    uint8_t random_access_indicator;
    uint8_t elementary_stream_priority_indicator;
    uint8_t PCR_flag;
    uint8_t OPCR_flag;
    uint8_t splicing_point_flag;
    uint8_t transport_private_data_flag;
    uint8_t adaptation_field_extension_flag;
    uint64_t program_clock_reference_base;
    uint8_t PCR_reserved;
    uint16_t program_clock_reference_extension;
    uint64_t original_program_clock_reference_base;
    uint8_t OPCR_reserved;
    uint16_t original_program_clock_reference_extension;
    uint8_t splice_countdown;
    uint8_t transport_private_data_length;
    uint8_t private_data_byte[188];
    uint8_t adaptation_field_extension_length;
    uint8_t ltw_flag;
    uint8_t piecewise_rate_flag;
    uint8_t seamless_splice_flag;
    uint8_t extension_reserved;
    uint8_t ltw_valid_flag;
    uint16_t ltw_offset;
    uint8_t piecewise_rate_reserved;
    uint32_t piecewise_rate;
    uint8_t splice_type;
    uint64_t DTS_next_AU;
    uint8_t marker_bit_1;
    uint8_t marker_bit_2;
    uint8_t marker_bit_3;
    uint8_t extension_reserved_length;
    uint8_t extension_reserved_byte[188];
    uint8_t stuffing_length;
    uint8_t stuffing_byte[188];
};

// One decoded packet: the header fields come first, so a TS_Packet serves as a TS_Header.
struct TS_Packet : TS_Header {
    TS_AdaptationField adaptation_field;
};

// Decodes the 188 bytes at `bytes`. -2: byte 0 is not 0x47 (record untouched).
int32_t TS_Packet_Get(TS_Packet* packet, const uint8_t* bytes);
// Decodes the adaptation field of `bytes` (header already decoded into `packet`).
// -2: adaptation_field_control has bit 1 clear (nothing written).
int32_t TS_Packet_GetAdaptationField(TS_AdaptationField* field, const TS_Packet* packet,
                                     const uint8_t* bytes);
// Header fields only; the adaptation-field part is left as it was.
int32_t TS_Header_Get(TS_Header* header, const uint8_t* bytes);
// True when the packet carries a PCR: adaptation field present, length at least 7, PCR_flag.
bool TS_Packet_HasPCR(const uint8_t* bytes);

// ---------------------------------------------------------------------------------------------
// Section assembler
// ---------------------------------------------------------------------------------------------

struct TS_PreSection {
    uint8_t complete;           // 1: nothing in progress; 0: a section is being collected
    uint16_t total_length;      // section_length + 3 (0 while the length is not yet known)
    uint16_t filled_length;     // bytes held in buffer
    int8_t last_continuity_counter;  // -1 when none
    // Bytes at the front of `buffer` that still hold the last section accepted intact on this
    // assembly (0: none). Kept while a new section brings the same bytes; a section that
    // brings all of them again is that section repeated, and its CRC_32 is not computed anew.
    uint16_t intact_length;
    uint8_t buffer[TS_SECTION_CAPACITY];
};

int32_t TS_PreSection_Initialise(TS_PreSection* pre);

// Take `length` section bytes that one packet carries. Whether they start or continue a
// section follows from `complete`. Results: 0 accepted (test `complete`), -1 bad argument,
// -2/-3 continuity break, -4 section_length below the minimum, -5 section longer than the
// buffer; every negative result but -1 reinitialises the assembly.
int32_t TS_PAT_ImportPreSection(TS_PreSection* pre, const uint8_t* bytes, uint16_t length,
                                uint8_t continuity_counter);
int32_t TS_CAT_ImportPreSection(TS_PreSection* pre, const uint8_t* bytes, uint16_t length,
                                uint8_t continuity_counter);
int32_t TS_PMT_ImportPreSection(TS_PreSection* pre, const uint8_t* bytes, uint16_t length,
                                uint8_t continuity_counter);
int32_t TS_Section_ImportPreSection(TS_PreSection* pre, const uint8_t* bytes, uint16_t length,
                                    uint8_t continuity_counter);

// True when the whole section held by `pre` is intact: the CRC-32 over the section, its
// CRC_32 field included, is 0. Sections in the short form (section_syntax_indicator 0)
// carry no CRC and are taken as intact.
bool TS_PreSection_IsIntact(const TS_PreSection* pre);

// Which section kind a stream of sections carries: sets the minimum section_length.
enum TS_SectionKind : uint8_t { TS_SECTION_PAT, TS_SECTION_CAT, TS_SECTION_PMT, TS_SECTION_PRIVATE };

// The packets that carried the section completed last, for writers that copy a section's
// packets whole. Each slot holds one packet unit (188, 192 or 204 bytes) with the index and
// the input offset that the caller gave for it.
inline constexpr uint32_t TS_MAX_CARRIERS = 24;
struct TS_SectionCarriers {
    uint16_t count;        // packets of the section in progress or just completed
    uint16_t unit_size;    // bytes per held packet
    uint64_t packet_index;   // set by the caller before each feed: the packet's index ...
    uint64_t packet_offset;  // ... and its offset in the input
    uint64_t index[TS_MAX_CARRIERS];
    uint64_t offset[TS_MAX_CARRIERS];
    uint8_t units[TS_MAX_CARRIERS][TS_MAX_UNIT_SIZE];
};

// What TS_Packet_FeedSections reports for each section a packet completes and accepts.
struct TS_SectionEvent {
    const TS_PreSection* section;   // holds the whole section
    // Packets that carried the section, oldest first, the current one last (only when a
    // carrier record was given; else count 0).
    const TS_SectionCarriers* carriers;
    uint16_t unit_count;
    // 1: the section is byte for byte the last one accepted on this assembly (a table
    // repeated); what was decoded from that one holds for it.
    uint8_t repeat;
};

using TS_SectionHandler = int32_t (*)(void* context, const TS_SectionEvent* event);

// The one place that assigns a packet's bytes to sections and accepts them (ISO/IEC 13818-1
// 2.4.4): a section reaches `handler` only when it is intact (its CRC-32 checks; short-form
// private sections carry none) and its table_id is that of its kind (0x00 PAT, 0x01 CAT, 0x02
// PMT; any for private sections). Sections failing their CRC-32 are counted as damage of the
// scan in progress, by PID.
// payload after the header and any adaptation field; a packet without payload carries
// nothing and leaves the continuity counter alone; with payload_unit_start_indicator the
// pointer_field's bytes finish the section in progress and sections start at the pointed
// position, several back to back until 0xFF stuffing; continuation packets contribute their
// whole payload. `handler` runs for each accepted section, in order; a non-zero result of
// it stops the packet and is returned. `unit`/`unit_size` is the packet as held in the
// stream (a 188-, 192- or 204-byte unit, the TS packet at TS_UnitLead), copied into
// `carriers` when that is given.
int32_t TS_Packet_FeedSections(TS_PreSection* pre, TS_SectionKind kind, const TS_Header* header,
                               const uint8_t* unit, uint32_t unit_size,
                               TS_SectionCarriers* carriers, TS_SectionHandler handler,
                               void* context);

// ---------------------------------------------------------------------------------------------
// Damage
// ---------------------------------------------------------------------------------------------

// What the packet scan in progress (or the last one) found damaged in its input and dropped.
struct TS_Damage {
    uint64_t crc_failures;       // sections dropped because their CRC_32 does not check
    uint64_t damaged_sections;   // sections dropped because their lengths run past their end
    uint64_t continuity_breaks;  // continuity_counter jumps without discontinuity_indicator
    uint64_t transport_errors;   // packets with transport_error_indicator set
    uint64_t bytes_skipped;      // bytes outside every packet, skipped to regain sync
    uint64_t packets_dropped;    // packets cut short by lost bytes (the next one began inside)
    uint64_t incomplete_tail;    // bytes of an incomplete last packet, dropped
    uint32_t crc_failures_by_PID[8192];
};

const TS_Damage* TS_GetDamage();
bool TS_Damage_Any(const TS_Damage* damage);
// The damage as one line of text without its end of line ("2 sections failed their CRC_32
// (PID 0x003C: 2), 5 continuity breaks"); empty when nothing was damaged. Returns the
// length written (cut to `capacity` - 1).
size_t TS_Damage_Format(char* buffer, size_t capacity, const TS_Damage* damage);
// When the last scan met damage, reports "PROGRAM: FILE: damaged input: ...".
void TS_ReportDamage(const char* program, const char* fileName);

// Progress of the drivers that read a whole file: when enabled and standard error is a
// terminal, one line on standard error shows the share of the input read and the speed,
// refreshed at most four times a second and cleared at the end. Off by default.
void TS_SetProgress(bool enabled);
// The same, forced: TS_PROGRESS_ON shows the line whatever standard error is, OFF never;
// AUTO is TS_SetProgress(true). A command that reads its input twice says which pass it is
// in (`pass` of `passes`; 0 passes: none shown). Once the time left can be estimated (the
// input's size is known), the line shows it.
enum TS_ProgressMode : int8_t { TS_PROGRESS_OFF = -1, TS_PROGRESS_AUTO = 0, TS_PROGRESS_ON = 1 };
void TS_SetProgressMode(TS_ProgressMode mode);
void TS_SetProgressPass(uint32_t pass, uint32_t passes);

// Bytes of input the last scan read.
uint64_t TS_LastInputBytes();

// The reason of the last failure to open, read or write a file that a driver reported (an
// errno value, 0 when none) and the file's name, for a command's own line after the
// library's message. An input named "-" is standard input.
int TS_LastFailure(const char** name);
inline constexpr int TS_FAILURE_IS_INPUT = -1;  // an output refused because it is the input
inline constexpr int TS_FAILURE_INPUT_SHRANK = -2;  // the input file shrank while it was read
// The reason TS_LastFailure gives as text: strerror's, or the library's own for the two above.
const char* TS_FailureReason(int error);

// Where the library's messages go: every error and warning a driver prints and the damage
// line of TS_ReportDamage, each handed whole (its end of line included) to `report` with
// `context`. Null restores the default, which writes them to standard error. The dump's text
// (to its output) and the progress line are not messages.
using TS_ReportFunction = void (*)(void* context, const char* message);
void TS_SetReportFunction(TS_ReportFunction report, void* context);


// ---------------------------------------------------------------------------------------------
// CRC-32 (ISO/IEC 13818-1: polynomial 0x04C11DB7, MSB first, no final XOR)
// ---------------------------------------------------------------------------------------------

namespace ts_detail {
constexpr uint32_t crc32_entry(uint32_t i) {
    uint32_t c = i << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
    return c;
}
struct CRC32Table {
    uint32_t v[256];
    constexpr CRC32Table() : v() {
        for (uint32_t i = 0; i < 256; ++i) v[i] = crc32_entry(i);
    }
    constexpr uint32_t operator[](size_t i) const { return v[i]; }
};
}  // namespace ts_detail

inline constexpr ts_detail::CRC32Table g_lu32CRC32Table{};

uint32_t GetCRC32(uint32_t crc, const uint8_t* data, uint64_t length);

// Base of the output names: `src` cut at its last full stop after the last '/' or '\',
// leading full stops of the file name being part of it ("d/.ts" stays whole).
// -2: the name does not fit `capacity` bytes (dst left empty).
int32_t GetBaseFileName(char* dst, const char* src, size_t capacity = TS_NAME_CAPACITY);

// Whether the split that ended last began or refused an output named `name` and did not
// complete it: after a failure, the outputs not written (their temporary files removed)
// from those that were.
bool TS_OutputNotWritten(const char* name);
