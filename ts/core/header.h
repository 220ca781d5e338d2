// The 4-byte transport packet header (2.4.3.2), decoded in one place: by TS_Header_Get and,
// inlined, by the packet scan for every packet.
#pragma once

#include <cstdint>

#include "core/core.h"

namespace ts_detail {

inline void DecodeHeader(TS_Header* h, const uint8_t* b) {
    h->sync_byte = b[0];
    h->transport_error_indicator = (b[1] >> 7) & 1;
    h->payload_unit_start_indicator = (b[1] >> 6) & 1;
    h->transport_priority = (b[1] >> 5) & 1;
    h->PID = static_cast<uint16_t>(((b[1] & 0x1F) << 8) | b[2]);
    h->transport_scrambling_control = (b[3] >> 6) & 3;
    h->adaptation_field_control = (b[3] >> 4) & 3;
    h->continuity_counter = b[3] & 0x0F;
}

}  // namespace ts_detail
