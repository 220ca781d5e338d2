// CAT decoding (ISO/IEC 13818-1 2.4.4.6), the PCR taken from a packet, and private
// sections (2.4.4.10) with the card identifier of an EMM.
#include "core/clock.h"
#include "psi/psi.h"
#include "psi/section_view.h"
#include "psi/tables.h"

using namespace ts_detail;

// Appends the descriptors of one CAT section to `cat`; false when one runs past the loop.
bool ts_detail::AppendCATDescriptors(TS_CAT* cat, const uint8_t* section, uint32_t total_length) {
    if (total_length < 12) return false;
    uint16_t added = 0;
    const uint32_t room = TS_MAX_DESCRIPTORS - cat->descriptor_count;
    uint8_t full = 0;
    const bool whole = DecodeDescriptorLoop(section, 8, total_length - 4, cat->descriptors + cat->descriptor_count,
                                            room, &added, &full);
    cat->descriptor_count = static_cast<uint16_t>(cat->descriptor_count + added);
    if (full) cat->capacity_reached = 1;
    return whole;
}

void ts_detail::StartCAT(TS_CAT* cat, const uint8_t* section, uint32_t total_length) {
    ByteReader r(section, total_length);
    ReadTableStart(r, cat);
    cat->transport_stream_id = ReadSyntaxFields(r, cat);
    cat->descriptor_count = 0;
    cat->capacity_reached = 0;
}

int32_t TS_CAT_FromPreSection(TS_CAT* cat, const TS_PreSection* pre) {
    if (cat == nullptr || pre == nullptr) return -1;
    const uint32_t n = SectionReader(pre).size;
    StartCAT(cat, pre->buffer, n);
    const bool whole = AppendCATDescriptors(cat, pre->buffer, n);
    cat->CRC_32 = SectionCRC(pre);
    cat->decoded = whole ? 1 : 0;
    return whole ? 0 : TS_TABLE_DAMAGED;
}

int32_t TS_PCR_Import(TS_PCR* pcr, const uint8_t* b) {
    if (pcr == nullptr || b == nullptr) return -1;
    pcr->table_id = b[0];
    const ClockReference c = ReadClockReference(b + 1);
    pcr->program_clock_reference_base = c.base;
    pcr->reserved = c.reserved;
    pcr->program_clock_reference_extension = c.extension;
    return 0;
}

int32_t TS_Section_PrivateFromPreSection(TS_Section* s, const TS_PreSection* pre) {
    if (s == nullptr || pre == nullptr) return -1;
    ByteReader r = SectionReader(pre);
    s->table_id = r.u8();
    uint16_t v = r.u16();
    s->section_syntax_indicator = static_cast<uint8_t>(v >> 15);
    s->private_indicator = (v >> 14) & 1;
    s->reserved_1 = (v >> 12) & 3;
    s->private_section_length = v & 0x0FFF;
    if (s->section_syntax_indicator) {
        s->table_id_extension = ReadSyntaxFields(r, s);
        // Data bytes end where the CRC_32 begins.
        ByteReader data = r.sub(LoopEnd(pre) > 8 ? LoopEnd(pre) - 8 : 0);
        data.copy(s->private_data_byte, TS_Section_DataLength(s), sizeof s->private_data_byte);
        s->CRC_32 = SectionCRC(pre);
    } else {
        r.copy(s->private_data_byte, s->private_section_length, sizeof s->private_data_byte);
    }
    s->decoded = 1;
    return 0;
}

uint16_t TS_Section_DataLength(const TS_Section* s) {
    if (s == nullptr) return 0;
    uint32_t n = s->section_syntax_indicator
                     ? (s->private_section_length >= 9 ? s->private_section_length - 9u : 0u)
                     : s->private_section_length;
    // What a section that fits the assembly buffer can hold.
    uint32_t room = TS_SECTION_CAPACITY - (s->section_syntax_indicator ? 12u : 3u);
    return static_cast<uint16_t>(n < room ? n : room);
}

int32_t TS_Section_GetCardIdFromEMM(uint64_t* card_id, const TS_Section* s) {
    if (card_id == nullptr || s == nullptr) return -1;
    uint64_t id = 0;
    for (int i = 0; i < 6; ++i) id = (id << 8) | s->private_data_byte[i];
    *card_id = id;
    return 0;
}
