// Packet reader: the 4-byte transport packet header and the adaptation field
// (ISO/IEC 13818-1 2.4.3.2, 2.4.3.4). Reads stay inside the packet's 188 bytes.
#include <cstring>

#include "core/header.h"
#include "core/clock.h"
#include "core/reader.h"
#include "core/core.h"

using ts_detail::ByteReader;

int32_t TS_Header_Get(TS_Header* h, const uint8_t* b) {
    if (h == nullptr || b == nullptr) return -1;
    if (b[0] != TS_SYNC_BYTE) return -2;
    ts_detail::DecodeHeader(h, b);
    return 0;
}

int32_t TS_Packet_Get(TS_Packet* packet, const uint8_t* bytes) {
    if (packet == nullptr || bytes == nullptr) return -1;
    int32_t r = TS_Header_Get(packet, bytes);
    if (r != 0) return r;
    if (packet->adaptation_field_control & 2)
        TS_Packet_GetAdaptationField(&packet->adaptation_field, packet, bytes);
    return 0;
}

// A clock reference (PCR and OPCR layout) of six bytes, zeros past the field.
static void ReadClock(ByteReader& r, uint64_t& base, uint8_t& reserved, uint16_t& extension) {
    uint8_t bytes[6] = {};
    r.copy(bytes, 6, 6);
    const ts_detail::ClockReference c = ts_detail::ReadClockReference(bytes);
    base = c.base;
    reserved = c.reserved;
    extension = c.extension;
}

int32_t TS_Packet_GetAdaptationField(TS_AdaptationField* f, const TS_Packet* packet,
                                     const uint8_t* bytes) {
    if (f == nullptr || packet == nullptr || bytes == nullptr) return -1;
    if ((packet->adaptation_field_control & 2) == 0) return -2;

    f->adaptation_field_length = bytes[4];
    // The field may claim more than the packet holds: read within the packet only.
    uint32_t length = f->adaptation_field_length;
    if (length > TS_PACKET_SIZE - 5) length = TS_PACKET_SIZE - 5;
    if (length == 0) {
        // A lone stuffing byte: no flags byte follows.
        f->discontinuity_indicator = f->random_access_indicator = 0;
        f->elementary_stream_priority_indicator = f->PCR_flag = f->OPCR_flag = 0;
        f->splicing_point_flag = f->transport_private_data_flag = 0;
        f->adaptation_field_extension_flag = 0;
        f->stuffing_length = 0;
        return 0;
    }
    ByteReader r(bytes + 5, length);
    uint8_t flags = r.u8();
    f->discontinuity_indicator = (flags >> 7) & 1;
    f->random_access_indicator = (flags >> 6) & 1;
    f->elementary_stream_priority_indicator = (flags >> 5) & 1;
    f->PCR_flag = (flags >> 4) & 1;
    f->OPCR_flag = (flags >> 3) & 1;
    f->splicing_point_flag = (flags >> 2) & 1;
    f->transport_private_data_flag = (flags >> 1) & 1;
    f->adaptation_field_extension_flag = flags & 1;

    if (f->PCR_flag)
        ReadClock(r, f->program_clock_reference_base, f->PCR_reserved,
                  f->program_clock_reference_extension);
    if (f->OPCR_flag)
        ReadClock(r, f->original_program_clock_reference_base, f->OPCR_reserved,
                  f->original_program_clock_reference_extension);
    if (f->splicing_point_flag) f->splice_countdown = r.u8();
    if (f->transport_private_data_flag) {
        uint8_t n = r.u8();
        f->transport_private_data_length = static_cast<uint8_t>(
            r.copy(f->private_data_byte, n, sizeof f->private_data_byte));
    }
    if (f->adaptation_field_extension_flag) {
        f->adaptation_field_extension_length = r.u8();
        ByteReader e = r.sub(f->adaptation_field_extension_length);
        uint8_t ef = e.u8();
        f->ltw_flag = (ef >> 7) & 1;
        f->piecewise_rate_flag = (ef >> 6) & 1;
        f->seamless_splice_flag = (ef >> 5) & 1;
        f->extension_reserved = ef & 0x1F;
        if (f->ltw_flag) {
            uint16_t v = e.u16();
            f->ltw_valid_flag = static_cast<uint8_t>(v >> 15);
            f->ltw_offset = v & 0x7FFF;
        }
        if (f->piecewise_rate_flag) {
            uint32_t v = e.u24();
            f->piecewise_rate_reserved = static_cast<uint8_t>(v >> 22);
            f->piecewise_rate = v & 0x3FFFFF;
        }
        if (f->seamless_splice_flag) {
            uint64_t b0 = e.u8(), b1 = e.u8(), b2 = e.u8(), b3 = e.u8(), b4 = e.u8();
            f->splice_type = static_cast<uint8_t>(b0 >> 4);
            f->DTS_next_AU = (((b0 >> 1) & 7) << 30) | (b1 << 22) | ((b2 >> 1) << 15) |
                             (b3 << 7) | (b4 >> 1);
            f->marker_bit_1 = b0 & 1;
            f->marker_bit_2 = b2 & 1;
            f->marker_bit_3 = b4 & 1;
        }
        f->extension_reserved_length = static_cast<uint8_t>(
            e.copy(f->extension_reserved_byte, e.remaining(), sizeof f->extension_reserved_byte));
    }
    f->stuffing_length =
        static_cast<uint8_t>(r.copy(f->stuffing_byte, r.remaining(), sizeof f->stuffing_byte));
    return 0;
}

bool TS_Packet_HasPCR(const uint8_t* b) {
    if (b == nullptr || b[0] != TS_SYNC_BYTE) return false;
    return (b[3] & 0x20) && b[4] >= 7 && (b[5] & 0x10);
}
