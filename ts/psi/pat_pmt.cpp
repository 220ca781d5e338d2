// PAT and PMT decoding (ISO/IEC 13818-1 2.4.4.3, 2.4.4.8) and the PMT lookups.
#include <cstring>

#include "psi/psi.h"
#include "psi/section_view.h"
#include "psi/tables.h"

using namespace ts_detail;

int32_t TS_PAT_GetProgramData(TS_ProgramData* program, const uint8_t* bytes) {
    if (program == nullptr || bytes == nullptr) return -1;
    program->program_number = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
    program->reserved = bytes[2] >> 5;
    program->PID = static_cast<uint16_t>(((bytes[2] & 0x1F) << 8) | bytes[3]);
    return 0;
}

// Appends the program loop of one PAT section (four bytes per entry between
// last_section_number and CRC_32) to `pat`. False when the loop is not whole entries.
bool ts_detail::AppendPrograms(TS_PAT* pat, const uint8_t* section, uint32_t total_length) {
    if (total_length < 12 || (total_length - 12) % 4 != 0) return false;
    for (uint32_t at = 8; at + 4 <= total_length - 4; at += 4) {
        if (pat->program_count >= TS_MAX_PROGRAMS) {
            pat->capacity_reached = 1;
            break;
        }
        TS_PAT_GetProgramData(&pat->programs[pat->program_count++], section + at);
    }
    return true;
}

// Header fields of a PAT section, with an empty program loop.
void ts_detail::StartPAT(TS_PAT* pat, const uint8_t* section, uint32_t total_length) {
    ByteReader r(section, total_length);
    ReadTableStart(r, pat);
    pat->transport_stream_id = ReadSyntaxFields(r, pat);
    pat->program_count = 0;
    pat->capacity_reached = 0;
}

int32_t TS_PAT_FromPreSection(TS_PAT* pat, const TS_PreSection* pre) {
    if (pat == nullptr || pre == nullptr) return -1;
    const ByteReader section = SectionReader(pre);
    StartPAT(pat, pre->buffer, section.size);
    const bool whole = AppendPrograms(pat, pre->buffer, section.size);
    pat->CRC_32 = SectionCRC(pre);
    pat->decoded = whole ? 1 : 0;
    return whole ? 0 : TS_TABLE_DAMAGED;
}

// The five bytes in front of an elementary stream's descriptors: stream_type, elementary_PID
// (13 bits), ES_info_length (12 bits).
struct StreamEntry {
    uint8_t stream_type;
    uint16_t elementary_PID;
    uint16_t ES_info_length;
    bool whole;  // the five bytes lie within the section
};
static StreamEntry ReadStreamEntry(const uint8_t* bytes, uint32_t available) {
    ByteReader r(bytes, available);
    StreamEntry e;
    e.stream_type = r.u8();
    e.elementary_PID = r.u16() & 0x1FFF;
    e.ES_info_length = r.u16() & 0x0FFF;
    e.whole = !r.overrun;
    return e;
}

int32_t TS_PMT_GetStreamInfo(TS_StreamInfo* stream, const uint8_t* bytes, uint16_t available) {
    if (stream == nullptr || bytes == nullptr) return -1;
    const StreamEntry entry = ReadStreamEntry(bytes, available);
    stream->stream_type = entry.stream_type;
    stream->elementary_PID = entry.elementary_PID;
    stream->ES_info_length = entry.ES_info_length;
    uint32_t end = 5u + stream->ES_info_length;
    bool whole = entry.whole && end <= available;
    if (end > available) end = available;
    uint8_t full = 0;
    if (!DecodeDescriptorLoop(bytes, 5, end, stream->descriptors, TS_MAX_DESCRIPTORS,
                              &stream->descriptor_count, &full))
        whole = false;
    if (!whole) return TS_TABLE_DAMAGED;
    return full ? 1 : 0;
}

int32_t TS_PMT_FromPreSection(TS_PMT* pmt, const TS_PreSection* pre, uint16_t pid) {
    if (pmt == nullptr || pre == nullptr) return -1;
    ByteReader r = SectionReader(pre);
    ReadTableStart(r, pmt);
    pmt->program_number = ReadSyntaxFields(r, pmt);
    pmt->PCR_PID = r.u16() & 0x1FFF;
    pmt->program_info_length = r.u16() & 0x0FFF;
    pmt->capacity_reached = 0;
    pmt->PID = pid;

    // Both loops lie in front of the CRC_32; a length that claims more is damage.
    const uint32_t end = LoopEnd(pre);
    const uint32_t info_end = 12u + pmt->program_info_length;
    bool whole = !r.overrun && info_end <= end;
    pmt->stream_count = 0;
    pmt->elementary_PID_count = 0;
    if (whole)
        whole = DecodeDescriptorLoop(pre->buffer, 12, info_end, pmt->descriptors, TS_MAX_DESCRIPTORS,
                                     &pmt->descriptor_count, &pmt->capacity_reached);
    for (uint32_t pos = info_end; whole && pos < end;) {
        const uint8_t* bytes = pre->buffer + pos;
        const uint32_t available = end - pos;
        const StreamEntry entry = ReadStreamEntry(bytes, available);
        const uint32_t size = 5u + entry.ES_info_length;
        if (!entry.whole || size > available) {
            whole = false;  // the entry or its descriptors run into the CRC_32
            break;
        }
        if (pmt->stream_count < TS_MAX_STREAMS) {
            const int32_t r2 = TS_PMT_GetStreamInfo(&pmt->streams[pmt->stream_count++], bytes, static_cast<uint16_t>(size));
            if (r2 < 0) whole = false;
            if (r2 == 1) pmt->capacity_reached = 1;
        } else {
            pmt->capacity_reached = 1;
        }
        if (pmt->elementary_PID_count < TS_MAX_ELEMENTARY_PIDS) {
            pmt->elementary_stream_types[pmt->elementary_PID_count] = entry.stream_type;
            pmt->elementary_PIDs[pmt->elementary_PID_count++] = entry.elementary_PID;
        }
        pos += size;
    }
    pmt->CRC_32 = SectionCRC(pre);
    pmt->decoded = whole ? 1 : 0;
    return whole ? 0 : TS_TABLE_DAMAGED;
}

int32_t TS_IsStreamPIDOfPMT(const TS_PMT* pmt, uint16_t pid) {
    if (pmt == nullptr) return 0;
    uint32_t n = pmt->elementary_PID_count;
    if (n > TS_MAX_ELEMENTARY_PIDS) n = TS_MAX_ELEMENTARY_PIDS;
    for (uint32_t i = 0; i < n; ++i)
        if (pmt->elementary_PIDs[i] == pid) return 1;
    return 0;
}

// CA_PID of the first CA_descriptor of a descriptor loop, or TS_NO_PID.
static uint16_t FirstCAPID(const TS_Descriptor* descriptors, uint16_t count) {
    uint32_t n = count < TS_MAX_DESCRIPTORS ? count : TS_MAX_DESCRIPTORS;
    for (uint32_t i = 0; i < n; ++i)
        if (descriptors[i].descriptor_tag == 9) return descriptors[i].conditional_access.CA_PID;
    return TS_NO_PID;
}

int32_t TS_GetCAPIDFromPMT(uint16_t* ca_pid, const TS_PMT* pmt) {
    if (ca_pid == nullptr || pmt == nullptr) return -1;
    *ca_pid = FirstCAPID(pmt->descriptors, pmt->descriptor_count);
    return 0;
}

int32_t TS_GetCAPIDFromCAT(uint16_t* ca_pid, const TS_CAT* cat) {
    if (ca_pid == nullptr || cat == nullptr) return -1;
    *ca_pid = FirstCAPID(cat->descriptors, cat->descriptor_count);
    return 0;
}
