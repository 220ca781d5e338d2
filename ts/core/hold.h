// Packets held back while a PMT section is being collected. A section is written whole, with
// every packet that carried it, once it has been checked; the packets of the program that
// arrive meanwhile wait here, and go out merged with the section's packets by their place in
// the input, so that each output receives its packets in input order.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/scan.h"
#include "core/core.h"

namespace ts_detail {

struct HeldPacket {
    ScanPacket packet;   // points into `unit`
    uint16_t slot;       // the output (or program) the packet waits for
    uint8_t unit[TS_MAX_UNIT_SIZE];
};

template <uint32_t N>
struct HoldQueue {
    uint32_t count = 0;
    HeldPacket items[N];

    // False when the queue is full (the packet is not held).
    bool Hold(uint16_t slot, const ScanPacket& p) {
        if (count >= N) return false;
        HeldPacket& h = items[count++];
        std::memcpy(h.unit, p.unit, p.unit_size);
        h.packet = p;
        h.packet.unit = h.unit;
        h.packet.bytes = h.unit + (p.bytes - p.unit);
        h.slot = slot;
        return true;
    }

    bool Holds(uint16_t slot) const {
        for (uint32_t i = 0; i < count; ++i)
            if (items[i].slot == slot) return true;
        return false;
    }

    // Hands out the carriers `first`.. of a completed section of `slot` (`carriers`, of which
    // `units` are the section's) and the packets held for it, in input order, and drops those
    // from the queue. Packets held before the section's first packet (for a section given up
    // since) come first. `carrier(k)` and `held(const ScanPacket&)` return 0 to go on; the
    // first other result is returned.
    template <class Carrier, class Held>
    int32_t Merge(uint16_t slot, const TS_SectionCarriers& carriers, uint16_t units, uint16_t first, Carrier&& carrier,
                  Held&& held) {
        int32_t r = 0;
        uint32_t i = 0;  // next held packet to look at
        for (uint16_t k = 0; k < units && r == 0; ++k) {
            for (; i < count && r == 0; ++i) {
                if (items[i].slot != slot) continue;
                if (items[i].packet.index > carriers.index[k]) break;
                r = held(items[i].packet);
            }
            if (r == 0 && k >= first) r = carrier(k);
        }
        for (; i < count && r == 0; ++i)
            if (items[i].slot == slot) r = held(items[i].packet);
        Drop(slot);
        return r;
    }

    // Hands out, in order, the packets held for `slot` that came before the packet `index`
    // (they waited for a section given up since), and drops them from the queue.
    template <class Held>
    int32_t ReleaseBefore(uint16_t slot, uint64_t index, Held&& held) {
        int32_t r = 0;
        uint32_t kept = 0;
        for (uint32_t i = 0; i < count; ++i) {
            if (items[i].slot == slot && items[i].packet.index < index && r == 0) {
                r = held(items[i].packet);
                continue;
            }
            if (kept != i) {
                items[kept] = items[i];
                items[kept].packet.unit = items[kept].unit;
                items[kept].packet.bytes = items[kept].unit + (items[i].packet.bytes - items[i].packet.unit);
            }
            ++kept;
        }
        count = kept;
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
