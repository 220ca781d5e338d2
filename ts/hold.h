// Packets held back while a PMT section is being collected. A section is written whole, with
// every packet that carried it, once it has been checked; the packets of the program that
// arrive between its first and its last packet wait here, so that each output receives its
// packets in input order: carrier 0, the packets held after it, carrier 1, and so on.
#pragma once

#include <cstdint>
#include <cstring>

#include "scan.h"
#include "ts.h"

namespace ts_detail {

struct HeldPacket {
    ScanPacket packet;   // points into `unit`
    uint16_t slot;       // the output (or program) the packet waits for
    uint16_t after;      // carriers of that slot's section held when the packet came
    uint8_t unit[TS_MAX_UNIT_SIZE];
};

template <uint32_t N>
struct HoldQueue {
    uint32_t count = 0;
    HeldPacket items[N];

    // False when the queue is full (the packet is not held).
    bool Hold(uint16_t slot, uint16_t after, const ScanPacket& p) {
        if (count >= N) return false;
        HeldPacket& h = items[count++];
        std::memcpy(h.unit, p.unit, p.unit_size);
        h.packet = p;
        h.packet.unit = h.unit;
        h.packet.bytes = h.unit + (p.bytes - p.unit);
        h.slot = slot;
        h.after = after;
        return true;
    }

    bool Holds(uint16_t slot) const {
        for (uint32_t i = 0; i < count; ++i)
            if (items[i].slot == slot) return true;
        return false;
    }

    // Hands out the carriers `first`.. of a completed section of `slot`, with the packets
    // held for it placed in input order, and drops them from the queue. `carrier(k)` and
    // `held(const ScanPacket&)` return 0 to go on; the first other result is returned.
    template <class Carrier, class Held>
    int32_t Merge(uint16_t slot, uint16_t carriers, uint16_t first, Carrier&& carrier, Held&& held) {
        int32_t r = 0;
        for (uint16_t k = 0; k < carriers && r == 0; ++k) {
            if (k >= first) r = carrier(k);
            for (uint32_t i = 0; i < count && r == 0; ++i)
                if (items[i].slot == slot && items[i].after == k + 1) r = held(items[i].packet);
        }
        // Packets held after the last carrier cannot exist (it is the packet completing the
        // section); any left over go out behind it all the same.
        for (uint32_t i = 0; i < count && r == 0; ++i)
            if (items[i].slot == slot && items[i].after > carriers) r = held(items[i].packet);
        Drop(slot);
        return r;
    }

    // Hands out the packets held for `slot` in order (its section was not completed).
    template <class Held>
    int32_t Release(uint16_t slot, Held&& held) {
        int32_t r = 0;
        for (uint32_t i = 0; i < count && r == 0; ++i)
            if (items[i].slot == slot) r = held(items[i].packet);
        Drop(slot);
        return r;
    }

    void Drop(uint16_t slot) {
        uint32_t kept = 0;
        for (uint32_t i = 0; i < count; ++i) {
            if (items[i].slot == slot) continue;
            if (kept != i) {
                items[kept] = items[i];
                items[kept].packet.unit = items[kept].unit;
                items[kept].packet.bytes = items[kept].unit + (items[i].packet.bytes - items[i].packet.unit);
            }
            ++kept;
        }
        count = kept;
    }
};

}  // namespace ts_detail
