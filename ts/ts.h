// ts: a transport-stream library for MPEG-2 transport streams (ISO/IEC 13818-1).
//
// Plain records carrying the standard's field names, and free functions that fill them.
// Every operation returns a signed 32-bit status: 0 on success, -1 for a null pointer,
// further negative codes per operation. No function allocates; large state lives in
// static containers owned by the library.
#pragma once

#include <cstddef>
#include <cstdint>

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
// Entries of a PAT: one section holds up to 253, a table of several sections more.
inline constexpr uint32_t TS_MAX_PROGRAMS = 256;
inline constexpr uint32_t TS_MAX_DESCRIPTORS = 32;
// Detailed stream records of a PMT (a Blu-ray clip names some forty streams).
inline constexpr uint32_t TS_MAX_STREAMS = 64;
// PMTs the full decoder state follows at once, one per PMT PID and program_number.
inline constexpr uint32_t TS_MAX_PMT_SLOTS = 64;
// Every elementary_PID of a PMT is kept, also beyond the 16 detailed stream records, so that
// no stream of a large PMT is lost: a section of 2928 bytes holds at most 582 entries.
inline constexpr uint32_t TS_MAX_ELEMENTARY_PIDS = 582;
inline constexpr uint32_t TS_MAX_PIDS = 256;
inline constexpr uint32_t TS_MAX_LANGUAGES = 63;
inline constexpr uint16_t TS_PID_PAT = 0x0000;
inline constexpr uint16_t TS_PID_CAT = 0x0001;
inline constexpr uint16_t TS_PID_NULL = 0x1FFF;
inline constexpr uint16_t TS_NO_PID = 0xFFFF;  // answer of the CA lookups when there is none
inline constexpr size_t TS_NAME_CAPACITY = 65536;

// Results of the section imports beyond those of every operation.
inline constexpr int32_t TS_SECTION_WRAP_BREAK = -2;   // last counter 15, this one not 0
inline constexpr int32_t TS_SECTION_CC_BREAK = -3;     // counter is not last + 1
inline constexpr int32_t TS_SECTION_TOO_SHORT = -4;    // section_length below the minimum
inline constexpr int32_t TS_SECTION_TOO_LONG = -5;     // section does not fit the buffer

// Result of a table decoder whose lengths run past the section: nothing is claimed decoded.
inline constexpr int32_t TS_TABLE_DAMAGED = -2;
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
// When the last scan met damage: "PROGRAM: FILE: damaged input: ..." on standard error.
void TS_ReportDamage(const char* program, const char* fileName);

// ---------------------------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------------------------

struct TS_ISO639Language {
    uint32_t ISO_639_language_code;
    uint8_t audio_type;
};

struct TS_Descriptor {
    uint8_t descriptor_tag;
    uint8_t descriptor_length;
    union {
        struct {
            uint8_t multiple_frame_rate_flag, frame_rate_code, MPEG_1_only_flag,
                constrained_parameter_flag, still_picture_flag, profile_and_level_indication,
                chroma_format, frame_rate_extension_flag, reserved;
        } video_stream;  // tag 2
        struct {
            uint8_t free_format_flag, ID, layer, variable_rate_audio_indicator, reserved;
        } audio_stream;  // tag 3
        struct {
            uint8_t reserved_1, hierarchy_type, reserved_2, hierarchy_layer_index, reserved_3,
                hierarchy_embedded_layer_index, reserved_4, hierarchy_channel;
        } hierarchy;  // tag 4
        struct {
            uint32_t format_identifier;
            uint8_t additional_identification_info[251];
        } registration;  // tag 5
        struct {
            uint8_t alignment_type;
        } data_stream_alignment;  // tag 6
        struct {
            uint16_t horizontal_size, vertical_size;
            uint8_t aspect_ratio_information;
        } target_background_grid;  // tag 7
        struct {
            uint16_t horizontal_offset, vertical_offset;
            uint8_t window_priority;
        } video_window;  // tag 8
        struct {
            uint16_t CA_system_ID;
            uint8_t reserved;
            uint16_t CA_PID;
            uint8_t private_data_byte[251];
        } conditional_access;  // tag 9
        struct {
            TS_ISO639Language languages[TS_MAX_LANGUAGES];
        } ISO_639_language;  // tag 10
        struct {
            uint8_t external_clock_reference_indicator, reserved_1, clock_accuracy_integer,
                clock_accuracy_exponent, reserved_2;
        } system_clock;  // tag 11
        struct {
            uint8_t bound_valid_flag;
            uint16_t LTW_offset_lower_bound;
            uint8_t reserved;
            uint16_t LTW_offset_upper_bound;
        } multiplex_buffer_utilization;  // tag 12
        struct {
            uint32_t copyright_identifier;
            uint8_t additional_copyright_info[251];
        } copyright;  // tag 13
        struct {
            uint8_t reserved;
            uint32_t maximum_bitrate;
        } maximum_bitrate;  // tag 14
        struct {
            uint32_t private_data_indicator;
        } private_data_indicator;  // tag 15
        struct {
            uint8_t reserved_1;
            uint32_t sb_leak_rate;
            uint8_t reserved_2;
            uint32_t sb_size;
        } smoothing_buffer;  // tag 16
        struct {
            uint8_t reserved, leak_valid_flag;
        } STD;  // tag 17
        struct {
            uint8_t closed_gop_flag, identical_gop_flag;
            uint16_t max_gop_length;
        } IBP;  // tag 18
        struct {
            uint8_t data[255];
        } raw;  // every other tag
    };
};

// Decode the descriptor at `bytes`, whose tag and length bytes and body lie within the first
// `available` bytes. A body whose fixed fields run past `available` reads zeros there, never
// beyond, and the result is TS_DESCRIPTOR_OVERRUN. The ...GetXxx decoders return -2 for
// another tag.
inline constexpr int32_t TS_DESCRIPTOR_OVERRUN = -3;
int32_t TS_GetDescriptor(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetVideoStream(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetAudioStream(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetHierarchy(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetRegistration(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetDataStreamAlignment(TS_Descriptor* d, const uint8_t* bytes,
                                             uint16_t available);
int32_t TS_Descriptor_GetTargetBackgroundGrid(TS_Descriptor* d, const uint8_t* bytes,
                                              uint16_t available);
int32_t TS_Descriptor_GetVideoWindow(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetConditionalAccess(TS_Descriptor* d, const uint8_t* bytes,
                                           uint16_t available);
int32_t TS_Descriptor_GetISO639Language(TS_Descriptor* d, const uint8_t* bytes,
                                        uint16_t available);
int32_t TS_Descriptor_GetSystemClock(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetMultiplexBufferUtilization(TS_Descriptor* d, const uint8_t* bytes,
                                                    uint16_t available);
int32_t TS_Descriptor_GetCopyright(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetMaximumBitrate(TS_Descriptor* d, const uint8_t* bytes,
                                        uint16_t available);
int32_t TS_Descriptor_GetPrivateDataIndicator(TS_Descriptor* d, const uint8_t* bytes,
                                              uint16_t available);
int32_t TS_Descriptor_GetSmoothingBuffer(TS_Descriptor* d, const uint8_t* bytes,
                                         uint16_t available);
int32_t TS_Descriptor_GetSTD(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetIBP(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetRAW(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);

// Descriptors that name languages, in the order a stream's languages are taken from them.
enum TS_LanguageSource : int8_t {
    TS_LANGUAGE_NONE = -1,
    TS_LANGUAGE_ISO_639 = 0,        // ISO_639_language_descriptor (0x0A)
    TS_LANGUAGE_SUBTITLING = 1,     // DVB subtitling_descriptor (0x59)
    TS_LANGUAGE_TELETEXT = 2,       // DVB teletext_descriptor (0x56)
    TS_LANGUAGE_SUPPLEMENTARY = 3,  // DVB supplementary_audio_descriptor (extension 0x06 of 0x7F)
};
TS_LanguageSource TS_Descriptor_LanguageSource(const TS_Descriptor* d);
// The ISO 639 codes (24 bits each) a decoded descriptor names, in its order; returns how many
// were written, at most `capacity`. 0 for a descriptor that names none.
uint32_t TS_Descriptor_GetLanguages(const TS_Descriptor* d, uint32_t* codes, uint32_t capacity);

// ---------------------------------------------------------------------------------------------
// PAT and PMT
// ---------------------------------------------------------------------------------------------

struct TS_ProgramData {
    uint16_t program_number;
    uint8_t reserved;
    uint16_t PID;  // network_PID when program_number is 0, else program_map_PID
};

struct TS_PAT {
    uint8_t table_id;
    uint8_t section_syntax_indicator;
    uint8_t reserved_1;
    uint16_t section_length;
    uint16_t transport_stream_id;
    uint8_t reserved_2;
    uint8_t version_number;
    uint8_t current_next_indicator;
    uint8_t section_number;
    uint8_t last_section_number;
    uint16_t program_count;
    TS_ProgramData programs[TS_MAX_PROGRAMS];
    uint32_t CRC_32;
    uint8_t decoded;
    uint8_t capacity_reached;  // the table held more entries than `programs` keeps
};

struct TS_StreamInfo {
    uint8_t stream_type;
    uint16_t elementary_PID;
    uint16_t ES_info_length;
    uint16_t descriptor_count;
    TS_Descriptor descriptors[TS_MAX_DESCRIPTORS];
};

struct TS_PMT {
    uint8_t table_id;
    uint8_t section_syntax_indicator;
    uint8_t reserved_1;
    uint16_t section_length;
    uint16_t program_number;
    uint8_t reserved_2;
    uint8_t version_number;
    uint8_t current_next_indicator;
    uint8_t section_number;
    uint8_t last_section_number;
    uint16_t PCR_PID;
    uint16_t program_info_length;
    uint16_t descriptor_count;
    TS_Descriptor descriptors[TS_MAX_DESCRIPTORS];
    uint16_t stream_count;
    TS_StreamInfo streams[TS_MAX_STREAMS];
    uint32_t CRC_32;
    uint8_t decoded;
    uint16_t PID;  // the PID the section arrived on
    // Every stream entry's elementary_PID, in section order (streams beyond the 16 records
    // included); TS_IsStreamPIDOfPMT looks here.
    uint16_t elementary_PID_count;
    uint16_t elementary_PIDs[TS_MAX_ELEMENTARY_PIDS];
    uint8_t elementary_stream_types[TS_MAX_ELEMENTARY_PIDS];  // stream_type of each
    uint8_t capacity_reached;  // streams or descriptors beyond the records were not detailed
};

// The table decoders return TS_TABLE_DAMAGED, and leave `decoded` clear, when a length of
// the section runs past its end (a partial PAT entry, a descriptor or ES_info loop beyond the
// CRC_32, a descriptor whose fixed fields lie past its loop).
int32_t TS_PAT_FromPreSection(TS_PAT* pat, const TS_PreSection* pre);
int32_t TS_PAT_GetProgramData(TS_ProgramData* program, const uint8_t* bytes);
int32_t TS_PMT_FromPreSection(TS_PMT* pmt, const TS_PreSection* pre, uint16_t pid);
// `available`: bytes readable from `bytes` within the section (entry and its descriptors).
// 1 when descriptors beyond the record's room were skipped; TS_TABLE_DAMAGED when the entry
// runs past `available`.
int32_t TS_PMT_GetStreamInfo(TS_StreamInfo* stream, const uint8_t* bytes, uint16_t available);
int32_t TS_IsStreamPIDOfPMT(const TS_PMT* pmt, uint16_t pid);
int32_t TS_GetCAPIDFromPMT(uint16_t* ca_pid, const TS_PMT* pmt);

// The sections of one version of a PAT or CAT, collected until the table is whole
// (ISO/IEC 13818-1 2.4.4.3, 2.4.4.6): a table in several sections is applied once every
// section 0 to last_section_number of one version is in, and a section with
// current_next_indicator 0 (not yet applicable) is not applied.
inline constexpr uint32_t TS_MAX_TABLE_SECTIONS = 16;
inline constexpr uint32_t TS_TABLE_SECTION_CAPACITY = 1024;  // section_length at most 1021
struct TS_TableSections {
    uint8_t collecting;           // a version is being collected
    uint8_t version_number;
    uint8_t last_section_number;
    uint16_t held;                // bit n: section n is held
    uint16_t length[TS_MAX_TABLE_SECTIONS];
    uint8_t bytes[TS_MAX_TABLE_SECTIONS][TS_TABLE_SECTION_CAPACITY];
};
int32_t TS_TableSections_Initialise(TS_TableSections* table);
// Adds a whole, intact section. 1: the table of its version is whole (also when this section
// repeats one already held); 0: more sections are needed, or the section is not applicable;
// TS_TABLE_DAMAGED: a section_number beyond last_section_number, or beyond what is held.
int32_t TS_TableSections_Add(TS_TableSections* table, const TS_PreSection* pre);
// Decode a whole table: the header of section 0, the entries of every section in order.
int32_t TS_PAT_FromTableSections(TS_PAT* pat, const TS_TableSections* table);

// ---------------------------------------------------------------------------------------------
// CAT, PCR and private sections
// ---------------------------------------------------------------------------------------------

struct TS_CAT {
    uint8_t table_id;
    uint8_t section_syntax_indicator;
    uint32_t reserved_1;
    uint16_t section_length;
    uint16_t transport_stream_id;
    uint8_t reserved_2;
    uint8_t version_number;
    uint8_t current_next_indicator;
    uint8_t section_number;
    uint8_t last_section_number;
    uint16_t descriptor_count;
    TS_Descriptor descriptors[TS_MAX_DESCRIPTORS];
    uint32_t CRC_32;
    uint8_t decoded;
    uint8_t capacity_reached;
};

struct TS_PCR {
    uint8_t table_id;  // packet byte 5
    uint64_t program_clock_reference_base;
    uint8_t reserved;
    uint32_t program_clock_reference_extension;
};

struct TS_Section {
    uint8_t table_id;
    uint8_t section_syntax_indicator;
    uint8_t private_indicator;
    uint8_t reserved_1;
    uint16_t private_section_length;
    uint16_t table_id_extension;
    uint8_t reserved_2;
    uint8_t version_number;
    uint8_t current_next_indicator;
    uint8_t section_number;
    uint8_t last_section_number;
    uint8_t private_data_byte[TS_SECTION_CAPACITY];
    uint32_t CRC_32;
    uint8_t decoded;
};

int32_t TS_CAT_FromPreSection(TS_CAT* cat, const TS_PreSection* pre);
int32_t TS_CAT_FromTableSections(TS_CAT* cat, const TS_TableSections* table);
int32_t TS_GetCAPIDFromCAT(uint16_t* ca_pid, const TS_CAT* cat);
// Reads packet bytes 5 to 11 (`bytes` points at byte 5).
int32_t TS_PCR_Import(TS_PCR* pcr, const uint8_t* bytes);
int32_t TS_Section_PrivateFromPreSection(TS_Section* section, const TS_PreSection* pre);
int32_t TS_Section_GetCardIdFromEMM(uint64_t* card_id, const TS_Section* section);
// Number of data bytes the decoded section holds in private_data_byte.
uint16_t TS_Section_DataLength(const TS_Section* section);

// ---------------------------------------------------------------------------------------------
// Decoder state and stream buffer
// ---------------------------------------------------------------------------------------------

struct TS_Data {
    uint64_t u64Size;
    uint64_t u64Offset;
    TS_PreSection tPATPreSection;
    TS_PAT tPAT;
    TS_PreSection tCATPreSection;
    TS_CAT tCAT;
    // PMT slots, each following one program of the PAT: the PMT PID and program_number it
    // belongs to (slots are taken as programs appear and freed when the PAT drops them).
    uint16_t u16PMTSlotCount;
    uint16_t lu16PMTSlotPID[TS_MAX_PMT_SLOTS];
    uint16_t lu16PMTSlotProgram[TS_MAX_PMT_SLOTS];
    TS_PreSection ltPMTPreSection[TS_MAX_PMT_SLOTS];
    TS_PMT ltPMT[TS_MAX_PMT_SLOTS];
    TS_PCR ltPCR[TS_MAX_PMT_SLOTS];
    TS_PreSection tPrivatePreSection;
    TS_Section tPrivateSection;
    TS_PreSection tEMMPreSection;
    TS_Section tEMMSection;
    uint8_t lu8Stream[TS_STREAM_CAPACITY];
    uint16_t u16PIDCount;
    uint16_t lu16PIDList[TS_MAX_PIDS];
};

struct TS_SimpleData {
    uint64_t u64Size;
    uint64_t u64Offset;
    TS_PreSection tPATPreSection;
    TS_PAT tPAT;
    TS_PreSection tPMTPreSection;
    TS_PMT tPMT;
    TS_PCR tPCR;
    TS_PreSection tPrivatePreSection;
    TS_Section tPrivateSection;
    uint8_t lu8Stream[TS_STREAM_CAPACITY];
};

int32_t TS_Initialise(TS_Data* data);
int32_t TS_InitialiseSimple(TS_SimpleData* data);
int32_t TS_AddStream(TS_Data* data, const uint8_t* bytes, uint64_t length);
int32_t TS_AddStreamSimple(TS_SimpleData* data, const uint8_t* bytes, uint64_t length);

// Progress of the drivers that read a whole file: when enabled and standard error is a
// terminal, one line on standard error shows the share of the input read and the speed,
// refreshed at most four times a second and cleared at the end. Off by default.
void TS_SetProgress(bool enabled);

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

// Survey: the distinct PMTs of `fileName` (one program followed), in order of first
// appearance, with their runs and the bytes the split writer writes for each. 0 done; -1 null argument; -2 input does not open (message on
// standard error); -3 a PAT with more than two entries (scan stopped, runs so far kept).
int32_t TS_CheckPMTSplit(TS_PMTSplitTable* table, const char* fileName);
// Split writer: every PMT into a file of its own (`all`), or the PMT with CRC_32 `crc` into
// `outputName` (null: "<base>_<CRC>.ts"). 0 done; -1 null argument; -2 input does not open;
// -3 a PAT with more than two entries; -4 an output does not open (or is the input itself);
// -5 a write failed. Each failure is reported on standard error, and the outputs not
// completed by then are removed (output.h). When `written` is given it
// receives one entry per output file: its CRC_32 and the bytes written to it.
int32_t TS_PMTSplitFile(const char* fileName, uint8_t all, uint32_t crc, const char* outputName,
                        TS_PMTSplitTable* written = nullptr);

// Run report: the runs of the survey with where they lie in the input, their PCR time range
// and their streams.
inline constexpr uint32_t TS_MAX_RUNS = 256;
inline constexpr uint32_t TS_MAX_RUN_LANGUAGES = 16;
struct TS_RunStream {
    uint16_t PID;
    uint8_t stream_type;
    uint8_t language_count;
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
int32_t TS_SurveyRuns(TS_RunReport* report, const char* fileName);
// Writes the report of `fileName` on standard output, as text or as one JSON document.
int32_t TS_PrintRuns(const TS_RunReport* report, const char* fileName, bool json);

// Base of the output names: `src` cut at its last full stop after the last '/' or '\',
// leading full stops of the file name being part of it ("d/.ts" stays whole).
// -2: the name does not fit `capacity` bytes (dst left empty).
int32_t GetBaseFileName(char* dst, const char* src, size_t capacity = TS_NAME_CAPACITY);

// Whether the split that ended last began or refused an output named `name` and did not
// complete it: after a failure, the outputs not written (their temporary files removed)
// from those that were.
bool TS_OutputNotWritten(const char* name);

// ---------------------------------------------------------------------------------------------
// Facilities built on the core
// ---------------------------------------------------------------------------------------------

#include "program_split.h"
#include "dump.h"
