// The bytes of a whole section held by a TS_PreSection, as the table decoders see them.
#pragma once

#include "core/reader.h"
#include "psi/psi.h"

namespace ts_detail {

// The assembled section: its first total_length bytes, never more than the buffer.
inline ByteReader SectionReader(const TS_PreSection* pre) {
    uint32_t n = pre->total_length;
    if (n > TS_SECTION_CAPACITY) n = TS_SECTION_CAPACITY;
    return ByteReader(pre->buffer, n);
}

// Offset where the CRC_32 field begins: loops stop there, so the CRC stays out of reach.
inline uint32_t LoopEnd(const TS_PreSection* pre) {
    uint32_t n = SectionReader(pre).size;
    return n >= 4 ? n - 4 : 0;
}

// The last four bytes of the assembled section, big-endian.
inline uint32_t SectionCRC(const TS_PreSection* pre) {
    ByteReader r = SectionReader(pre);
    if (r.size < 4) return 0;
    r.pos = r.size - 4;
    return r.u32();
}

// Bytes 0-2 of a PSI table section: table_id, section_syntax_indicator, the two reserved
// bits behind the bit after it, section_length.
template <class Record>
inline void ReadTableStart(ByteReader& r, Record* t) {
    t->table_id = r.u8();
    uint16_t v = r.u16();
    t->section_syntax_indicator = static_cast<uint8_t>(v >> 15);
    t->reserved_1 = (v >> 12) & 3;
    t->section_length = v & 0x0FFF;
}

// Bytes 3-7 of a long-form section; returns the 16-bit field of bytes 3-4, which each table
// names in its own way (transport_stream_id, program_number, table_id_extension).
template <class Record>
inline uint16_t ReadSyntaxFields(ByteReader& r, Record* t) {
    uint16_t extension = r.u16();
    uint8_t x = r.u8();
    t->reserved_2 = x >> 6;
    t->version_number = (x >> 1) & 0x1F;
    t->current_next_indicator = x & 1;
    t->section_number = r.u8();
    t->last_section_number = r.u8();
    return extension;
}

// Walks the descriptor loop [pos, end) of `section`, filling at most `capacity` records
// (`*full` is set when surplus descriptors are skipped). False when a descriptor runs past
// the loop: its two header bytes, its descriptor_length, or the fixed fields of its body.
inline bool DecodeDescriptorLoop(const uint8_t* section, uint32_t pos, uint32_t end,
                                 TS_Descriptor* records, uint32_t capacity, uint16_t* count,
                                 uint8_t* full) {
    *count = 0;
    while (pos < end) {
        const uint32_t available = end - pos;
        if (available < 2 || 2u + section[pos + 1] > available) return false;
        if (*count < capacity) {
            if (TS_GetDescriptor(&records[(*count)++], section + pos, static_cast<uint16_t>(available)) != 0)
                return false;
        } else {
            *full = 1;
        }
        pos += 2u + section[pos + 1];
    }
    return true;
}

}  // namespace ts_detail
