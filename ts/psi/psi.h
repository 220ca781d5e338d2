// The tables of the ts library: descriptors (ISO/IEC 13818-1 2.6), the PAT, PMT and CAT, PCRs
// and private sections (2.4.4), tables in several sections, the labels of their codes, and
// the static decoder state that the drivers keep them in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../core/core.h"

// ---------------------------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------------------------

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
inline constexpr uint16_t TS_NO_PID = 0xFFFF;  // answer of the CA lookups when there is none
// Result of a table decoder whose lengths run past the section: nothing is claimed decoded.
inline constexpr int32_t TS_TABLE_DAMAGED = -2;

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
            uint32_t ISO_639_language_code;
            uint8_t stream_content_ext, stream_content, component_type, component_tag;
            uint8_t text_char[249];  // descriptor_length - 6 text bytes
        } component;  // tag 0x50, DVB component_descriptor
        struct {
            uint32_t ISO_639_language_code;
            uint32_t ISO_639_language_code_2;  // 0 unless ES_multi_lingual_flag
            uint8_t reserved_future_use_1, stream_content, component_type, component_tag,
                stream_type, simulcast_group_tag, ES_multi_lingual_flag, main_component_flag,
                quality_indicator, sampling_rate, reserved_future_use_2;
            uint8_t text_char[246];  // the text bytes after the language codes
        } audio_component;  // tag 0xC4, ARIB audio_component_descriptor
        struct {
            uint8_t data[255];
        } raw;  // every other tag
    };
};

// Decode the descriptor at `bytes`, whose tag and length bytes and body lie within the first
// `available` bytes. A body whose fixed fields run past `available` reads zeros there, never
// beyond, and the result is TS_DESCRIPTOR_OVERRUN. The ...GetXxx decoders return -2 for
// another tag. The DVB and ARIB component descriptors (0x50, 0xC4) read only within their
// descriptor_length, TS_DESCRIPTOR_OVERRUN when it runs past `available`. One shorter than
// its fixed fields (TS_COMPONENT_FIXED, TS_AUDIO_COMPONENT_FIXED bytes) is kept as raw bytes;
// the second language code of an audio component descriptor too short for it reads 0.
inline constexpr uint8_t TS_COMPONENT_FIXED = 6;
inline constexpr uint8_t TS_AUDIO_COMPONENT_FIXED = 9;
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
int32_t TS_Descriptor_GetComponent(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetAudioComponent(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);
int32_t TS_Descriptor_GetRAW(TS_Descriptor* d, const uint8_t* bytes, uint16_t available);

// Entries of an ISO_639_language_descriptor: descriptor_length / 4, at most TS_MAX_LANGUAGES.
uint32_t TS_Descriptor_LanguageEntries(const TS_Descriptor* d);

// Descriptors that name languages, in the order a stream's languages are taken from them.
enum TS_LanguageSource : int8_t {
    TS_LANGUAGE_NONE = -1,
    TS_LANGUAGE_ISO_639 = 0,        // ISO_639_language_descriptor (0x0A)
    TS_LANGUAGE_SUBTITLING = 1,     // DVB subtitling_descriptor (0x59)
    TS_LANGUAGE_TELETEXT = 2,       // DVB teletext_descriptor (0x56)
    TS_LANGUAGE_SUPPLEMENTARY = 3,  // DVB supplementary_audio_descriptor (extension 0x06 of 0x7F)
    TS_LANGUAGE_AUDIO_COMPONENT = 4,  // ARIB audio_component_descriptor (0xC4): one or two
    TS_LANGUAGE_COMPONENT = 5,        // DVB component_descriptor (0x50)
    TS_LANGUAGE_LAST = TS_LANGUAGE_COMPONENT,
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

// The PAT builder: a PAT record back into a packet.
// Builds one 188-byte packet carrying the whole PAT section of `pat` behind the header
// `header` and a pointer_field 0, with a computed CRC_32 and 0xFF stuffing. section_length is
// written as `pat` holds it (9 + 4 × program_count for a consistent section). -1: a null
// argument, nothing written.
int32_t TS_PAT_ToPacket(uint8_t* packet, const TS_Header* header, const TS_PAT* pat);

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

// ---------------------------------------------------------------------------------------------
// Name tables: labels of the codes these tables carry. Each writes one NUL-terminated label
// (at most 50 characters) into `buffer`.
// -1 when `buffer` is null; 0 otherwise (codes without a label yield "?").
// ---------------------------------------------------------------------------------------------

inline constexpr uint32_t TS_LABEL_CAPACITY = 256;  // what the printers pass

int32_t TS_Header_PIDToString(char* buffer, uint16_t pid);
// Whether `pid` is one of the service-information PIDs: 0x10 to 0x14 (NIT, SDT/BAT, EIT, RST,
// TDT/TOT) and the ARIB ones a Japanese recording carries, 0x23, 0x24, 0x26, 0x27, 0x29.
bool TS_IsServiceInformationPID(uint16_t pid);
int32_t TS_Section_TagToString(char* buffer, uint8_t table_id);      // dump vocabulary
int32_t TS_Section_TagToString_ISO(char* buffer, uint8_t table_id);  // ISO vocabulary
int32_t TS_Header_StreamTypeToString(char* buffer, uint8_t stream_type);
int32_t TS_DescriptorTagToString(char* buffer, uint8_t descriptor_tag);

