// The PAT packet builder: a header record and a PAT record back into one 188-byte packet that
// carries the whole section, with its CRC_32 computed afresh.
#include <cstring>

#include "psi/pat_builder.h"
#include "psi/psi.h"

int32_t TS_PAT_ToPacket(uint8_t* packet, const TS_Header* header, const TS_PAT* pat) {
    if (packet == nullptr || header == nullptr || pat == nullptr) return -1;
    std::memset(packet, 0xFF, TS_PACKET_SIZE);

    packet[0] = header->sync_byte;
    packet[1] = static_cast<uint8_t>(((header->transport_error_indicator & 1) << 7) |
                                     ((header->payload_unit_start_indicator & 1) << 6) |
                                     ((header->transport_priority & 1) << 5) |
                                     ((header->PID >> 8) & 0x1F));
    packet[2] = static_cast<uint8_t>(header->PID & 0xFF);
    packet[3] = static_cast<uint8_t>(((header->transport_scrambling_control & 3) << 6) |
                                     ((header->adaptation_field_control & 3) << 4) |
                                     (header->continuity_counter & 0x0F));
    packet[4] = 0;  // pointer_field: the section starts right behind it

    uint8_t* s = packet + 5;
    s[0] = pat->table_id;
    s[1] = static_cast<uint8_t>(((pat->section_syntax_indicator & 1) << 7) |
                                ((pat->reserved_1 & 3) << 4) | ((pat->section_length >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(pat->section_length & 0xFF);
    s[3] = static_cast<uint8_t>(pat->transport_stream_id >> 8);
    s[4] = static_cast<uint8_t>(pat->transport_stream_id & 0xFF);
    s[5] = static_cast<uint8_t>(((pat->reserved_2 & 3) << 6) | ((pat->version_number & 0x1F) << 1) |
                                (pat->current_next_indicator & 1));
    s[6] = pat->section_number;
    s[7] = pat->last_section_number;

    // As many entries as one packet holds behind the header, pointer_field and CRC_32.
    constexpr uint32_t kRoom = (TS_PACKET_SIZE - 5 - 8 - 4) / 4;
    const uint32_t n = pat->program_count < kRoom ? pat->program_count : kRoom;
    uint8_t* e = s + 8;
    for (uint32_t i = 0; i < n; ++i, e += 4) {
        const TS_ProgramData& p = pat->programs[i];
        e[0] = static_cast<uint8_t>(p.program_number >> 8);
        e[1] = static_cast<uint8_t>(p.program_number & 0xFF);
        e[2] = static_cast<uint8_t>(((p.reserved & 7) << 5) | ((p.PID >> 8) & 0x1F));
        e[3] = static_cast<uint8_t>(p.PID & 0xFF);
    }

    const uint32_t crc = GetCRC32(0xFFFFFFFFu, s, 8 + 4 * n);
    e[0] = static_cast<uint8_t>(crc >> 24);
    e[1] = static_cast<uint8_t>(crc >> 16);
    e[2] = static_cast<uint8_t>(crc >> 8);
    e[3] = static_cast<uint8_t>(crc);
    return 0;
}

namespace ts_detail {

void BuildReducedPAT(uint8_t* unit, const uint8_t* pat_unit, uint32_t unit_size, const TS_PAT& pat,
                     const TS_ProgramData& own, const TS_ProgramData* network) {
    static TS_PAT s_tReduced;
    s_tReduced = pat;
    uint16_t n = 0;
    if (network) s_tReduced.programs[n++] = *network;
    s_tReduced.programs[n++] = own;
    s_tReduced.program_count = n;
    s_tReduced.section_number = 0;
    s_tReduced.last_section_number = 0;
    s_tReduced.section_length = static_cast<uint16_t>(9 + 4 * n);

    const uint32_t lead = TS_UnitLead(unit_size);
    TS_Header header;
    TS_Header_Get(&header, pat_unit + lead);
    header.transport_error_indicator = 0;
    header.payload_unit_start_indicator = 1;
    header.transport_scrambling_control = 0;
    header.adaptation_field_control = 1;
    std::memcpy(unit, pat_unit, unit_size);
    TS_PAT_ToPacket(unit + lead, &header, &s_tReduced);
}

}  // namespace ts_detail
