// What the two splits by program share: their input and outputs, the PMT section of a
// program written whole and in input order with the packets held while it was collected,
// and the reduced PAT that opens a program's file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/report.h"
#include "core/hold.h"
#include "core/output.h"
#include "programs/program_split.h"
#include "psi/pat_builder.h"
#include "core/scan.h"
#include "programs/program_split.h"
#include "psi/pat_builder.h"

namespace ts_detail {

inline constexpr int32_t kSplitStop = 1;  // the scan ends early, without failure
inline constexpr uint32_t kSplitHold = 2048;

// The PMT of one program as a split follows it.
struct ProgramPMT {
    TS_PreSection pre;             // assembly on the program's PMT PID
    TS_SectionCarriers carriers;   // the packets of the section in progress
    bool have_last = false;        // a section was written, ending with ...
    uint64_t last_index = 0;       // ... this packet
    bool decoded = false;          // the last section handled decoded (a repeat needs no decoding)
    uint16_t pid_count = 0;        // the PIDs routed to the program, from its PMT
    uint16_t pids[TS_MAX_ELEMENTARY_PIDS + 2];

    void Reset() {
        TS_PreSection_Initialise(&pre);
        carriers.count = 0;
        have_last = false;
        decoded = false;
    }
    bool Collecting() const { return pre.complete == 0 && carriers.count > 0; }
};

struct SplitIO {
    InputFile input;
    TS_OutputOpenedHandler opened = nullptr;
    void* context = nullptr;
    HoldQueue<kSplitHold> hold;
    bool hold_full_noted = false;

    int32_t Open(uint32_t slot, const char* name, const char* message = nullptr) {
        int32_t r = OpenOutput(slot, name, &input, -3, message);
        if (r != 0) return r;
        if (opened) opened(context, name);
        return 0;
    }

    // Writes the completed section of `pmt` into `slot` with what was held for it.
    int32_t WriteSection(uint32_t slot, ProgramPMT& pmt, const TS_SectionEvent* e) {
        const TS_SectionCarriers& c = *e->carriers;
        if (e->unit_count == 0) return 0;
        const uint16_t first = pmt.have_last && e->unit_count > 0 && c.index[0] == pmt.last_index ? 1 : 0;
        if (e->unit_count > 0) {
            pmt.have_last = true;
            pmt.last_index = c.index[e->unit_count - 1];
        }
        return hold.Merge(
            static_cast<uint16_t>(slot), c, e->unit_count, first,
            [&](uint16_t k) { return WriteOutput(slot, c.units[k], c.unit_size); },
            [slot](const ScanPacket& p) { return WriteOutput(slot, p.unit, p.unit_size); });
    }

    // The packets held for `slot` go out as they came (its section was given up).
    int32_t Release(uint32_t slot) {
        if (hold.count == 0) return 0;
        return hold.Release(static_cast<uint16_t>(slot),
                            [slot](const ScanPacket& p) { return WriteOutput(slot, p.unit, p.unit_size); });
    }

    // A stream packet for `slot`: held while the program's PMT section is collected.
    int32_t Route(uint32_t slot, ProgramPMT& pmt, const ScanPacket& p, const char* name) {
        if (pmt.Collecting()) {
            if (hold.Hold(static_cast<uint16_t>(slot), p)) return 0;
            if (!hold_full_noted)
                ts_detail::Report("Warning: a PMT section of %s is spread over more packets than are held; it is not written.\n",
                             name);
            hold_full_noted = true;
            pmt.Reset();
            int32_t r = Release(slot);
            if (r != 0) return r;
        }
        return WriteOutput(slot, p.unit, p.unit_size);
    }
};

}  // namespace ts_detail
