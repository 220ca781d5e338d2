// The one layout of a clock reference (ISO/IEC 13818-1 2.4.3.5): a 33-bit base of 90 kHz,
// 6 reserved bits and a 9-bit extension of 27 MHz, in six bytes. PCRs and OPCRs of the
// adaptation field, and the PCR taken from a packet, are read here.
#pragma once

#include <cstdint>

namespace ts_detail {

struct ClockReference {
    uint64_t base;
    uint8_t reserved;
    uint16_t extension;
};

inline ClockReference ReadClockReference(const uint8_t* b) {
    ClockReference c;
    c.base = (uint64_t{b[0]} << 25) | (uint64_t{b[1]} << 17) | (uint64_t{b[2]} << 9) | (uint64_t{b[3]} << 1) | (b[4] >> 7);
    c.reserved = static_cast<uint8_t>((b[4] >> 1) & 0x3F);
    c.extension = static_cast<uint16_t>(((b[4] & 1u) << 8) | b[5]);
    return c;
}

// The clock in 27 MHz ticks.
constexpr uint64_t ClockTicks(uint64_t base, uint64_t extension) { return base * 300 + extension; }

}  // namespace ts_detail
