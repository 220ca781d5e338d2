// The bytes of a whole section held by a TS_PreSection, as the table decoders see them.
#pragma once

#include "reader.h"
#include "ts.h"

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

// Walks a descriptor loop from `pos` while it is below `end`, filling at most `capacity`
// records (surplus descriptors are skipped); returns the position after the last one.
inline uint32_t DecodeDescriptorLoop(const uint8_t* section, uint32_t pos, uint32_t end,
                                     TS_Descriptor* records, uint32_t capacity, uint16_t* count) {
    *count = 0;
    while (pos < end) {
        uint16_t available = static_cast<uint16_t>(end - pos);
        uint8_t length = available >= 2 ? section[pos + 1] : 0;
        if (*count < capacity) TS_GetDescriptor(&records[(*count)++], section + pos, available);
        pos += 2u + length;
    }
    return pos;
}

}  // namespace ts_detail
