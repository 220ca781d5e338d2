// The walk behind the PMT survey, the split writer and the run report: the PAT, the PMT of
// the one program followed, and the packets of the PIDs that the current PMT names
// (PCR_PID, first program-level CA_PID, elementary_PIDs). The walk decides what a piece
// holds and in which order; its sink only counts, writes or reports it. A sink has:
//   Begin(crc, bytes, new_run)     an intact PMT section of that CRC_32 is handed out; it
//                                  costs the piece `bytes` (its PAT copy and its packets);
//                                  `new_run`: its CRC_32 is not that of the run before
//   PATCopy(unit, size)            the saved PAT, in front of the section's packets
//   Carrier(unit, size, index, offset)   a packet that carried the section
//   Stream(packet)                 a packet of a followed PID of the PMT current before
//   Margin(run)                    the run `run` (0: the first) was a margin and is taken
//                                  back: the first run once all of it is handed out (before
//                                  the End of the second run's first section), the last
//                                  one at the end of the input
//   End()                          the section's PMT is now the current one
// Stream packets that arrive while a PMT section is being collected are held and handed out
// between the section's packets, so every piece keeps input order; a packet that ends one
// section and starts the next section of the same PMT is handed out once.
//
// A run is the PMT sections of one CRC_32 in a row with the stream packets handed out while
// that PMT is current. Its PCR time is counted from its first PCR to its last (on the PCR_PID
// of the PMT in force when each packet is handed out), step by step: a step backwards or of
// more than 10 s is a discontinuity and adds nothing. A run with a single PCR lasts 0 s.
#pragma once

#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "core/report.h"
#include "psi/pat_table.h"
#include "core/hold.h"
#include "psi/pmt_pids.h"
#include "core/scan.h"
#include "psi/state.h"
#include "pmt/pmt.h"

namespace ts_detail {

inline constexpr int32_t kTooManyPrograms = -3;
inline constexpr uint32_t kWalkHold = 512;  // packets held while one PMT section is collected

inline constexpr uint64_t kPCRWrap = (uint64_t{1} << 33) * 300;  // 27 MHz ticks of a 33-bit base
inline constexpr uint64_t kPCRJump = 27000000ull * 10;            // larger steps are discontinuities

// The PCR of a packet on `pcr_pid`, in 27 MHz ticks; false when it carries none.
inline bool PacketPCR(const ScanPacket& p, uint16_t pcr_pid, uint64_t* value) {
    if (p.header.PID != pcr_pid || !TS_Packet_HasPCR(p.bytes)) return false;
    TS_PCR pcr;
    TS_PCR_Import(&pcr, p.bytes + 5);
    *value = ClockTicks(pcr.program_clock_reference_base, pcr.program_clock_reference_extension);
    return true;
}

// Adds the PCR `value` to the PCR time of a run (see above).
inline void AddRunPCR(uint8_t* has_pcr, uint64_t* first, uint64_t* last, uint64_t* ticks, uint64_t value) {
    if (*has_pcr) {
        const uint64_t step = (value + kPCRWrap - *last) % kPCRWrap;
        if (step <= kPCRJump) *ticks += step;
    } else {
        *has_pcr = 1;
        *first = value;
    }
    *last = value;
}

// The large parts of the walk's state, in static storage (one driver runs at a time).
struct WalkStorage {
    PATTable pat_table;
    TS_SectionCarriers pat_carriers;
    uint16_t pat_unit_count[TS_MAX_TABLE_SECTIONS];
    uint8_t pat_units[TS_MAX_TABLE_SECTIONS][TS_MAX_CARRIERS][TS_MAX_UNIT_SIZE];
    // The saved PAT: the packets of every section of the PAT in force, in section order.
    uint16_t saved_count;
    uint32_t saved_unit_size;
    uint8_t saved[TS_MAX_CARRIERS][TS_MAX_UNIT_SIZE];
    TS_SectionCarriers pmt_carriers;
    HoldQueue<kWalkHold> hold;
};
extern WalkStorage g_tWalk;

template <class Sink>
struct PMTWalk {
    Sink& sink;
    const char* name;
    TS_PMTOptions* options;
    TS_SimpleData* data = &g_tSimpleData;
    WalkStorage& w = g_tWalk;
    uint16_t pmt_pid = TS_NO_PID;     // PID of the PMT followed, TS_NO_PID while none
    bool pmt_current = false;         // a PMT has been decoded
    uint8_t followed[8192 / 8] = {};  // PIDs of the current PMT
    const ScanPacket* packet = nullptr;
    bool carried = false;             // the packet in hand carries a PMT section
    bool have_last = false;           // a section was handed out ...
    uint64_t last_index = 0;          // ... ending with this packet ...
    uint32_t last_crc = 0;            // ... for the PMT of this CRC_32
    bool hold_full_noted = false;
    bool pmt_decoded = false;         // the last PMT section decoded
    uint32_t runs = 0;                // runs begun
    uint32_t run_crc = 0;             // CRC_32 of the last run begun
    bool margins = false;             // margins are looked for ...
    uint64_t min_run_ticks = 0;       // ... below this PCR time
    uint8_t run_has_pcr = 0;          // PCR time of the run current
    uint64_t run_pcr_first = 0, run_pcr_last = 0, run_ticks = 0;

    PMTWalk(Sink& s, const char* input_name, TS_PMTOptions* walk_options)
        : sink(s), name(input_name), options(walk_options) {
        w.pat_table.Initialise();
        std::memset(&w.pat_carriers, 0, offsetof(TS_SectionCarriers, units));
        std::memset(&w.pmt_carriers, 0, offsetof(TS_SectionCarriers, units));
        std::memset(w.pat_unit_count, 0, sizeof w.pat_unit_count);
        w.saved_count = 0;
        w.saved_unit_size = 0;
        w.hold.count = 0;
        if (options) {
            margins = options->margins != 0;
            min_run_ticks = options->min_run_ticks;
            options->margins_found = 0;
        }
    }

    // A packet handed out for the run current; its PCR counts for the run's time.
    int32_t Out(const ScanPacket& p) {
        uint64_t value;
        if (margins && PacketPCR(p, data->tPMT.PCR_PID, &value))
            AddRunPCR(&run_has_pcr, &run_pcr_first, &run_pcr_last, &run_ticks, value);
        return sink.Stream(p);
    }

    // The run current is over (or the input is): when it is a margin, the sink takes it back.
    int32_t RunOver(uint32_t run) {
        if (!margins || !run_has_pcr || run_ticks >= min_run_ticks) return 0;
        ++options->margins_found;
        return sink.Margin(run);
    }

    // The PMT PID of the program followed: the one asked for, else the PAT's one program
    // besides the network entry. kTooManyPrograms when the PAT lists several and none was
    // asked for.
    int32_t FollowedPMTPID(const TS_PAT& pat, uint16_t* pid) const {
        const uint32_t count = pat.program_count < TS_MAX_PROGRAMS ? pat.program_count : TS_MAX_PROGRAMS;
        const uint16_t wanted = options ? options->program_number : 0;
        uint32_t programs = 0;
        *pid = TS_NO_PID;
        for (uint32_t i = 0; i < count; ++i) {
            const TS_ProgramData& p = pat.programs[i];
            if (p.program_number == 0) continue;
            if (wanted != 0) {
                if (p.program_number == wanted) {
                    *pid = p.PID;
                    return 0;
                }
                continue;
            }
            if (programs++ == 0) *pid = p.PID;
        }
        if (wanted != 0 || programs <= 1) return 0;
        if (options) {
            options->program_count = 0;
            for (uint32_t i = 0; i < count; ++i)
                if (pat.programs[i].program_number != 0)
                    options->program_numbers[options->program_count++] = pat.programs[i].program_number;
        }
        return kTooManyPrograms;
    }

    bool Followed(uint16_t pid) const { return pmt_current && (followed[pid >> 3] >> (pid & 7) & 1); }

    void Follow(const TS_PMT& pmt) {
        std::memset(followed, 0, sizeof followed);
        auto follow = [this](uint16_t pid) { followed[pid >> 3] |= static_cast<uint8_t>(1u << (pid & 7)); };
        ForEachPIDOfPMT(pmt, follow);
        if (options && options->keep_si)
            for (uint16_t pid = 0x10; pid < 0x30; ++pid)
                if (TS_IsServiceInformationPID(pid)) follow(pid);
    }

    bool Collecting() const { return data->tPMTPreSection.complete == 0 && w.pmt_carriers.count > 0; }

    int32_t Release() {
        return w.hold.Release(0, [this](const ScanPacket& p) { return Out(p); });
    }

    // The PMT section in progress is given up: the packets held for it go out as they came.
    int32_t Abandon() {
        TS_PreSection_Initialise(&data->tPMTPreSection);
        w.pmt_carriers.count = 0;
        return Release();
    }

    static int32_t OnPAT(void* context, const TS_SectionEvent* e) {
        auto* self = static_cast<PMTWalk*>(context);
        return self->PATSection(e);
    }

    int32_t PATSection(const TS_SectionEvent* e) {
        // A repeated section leaves the table as it was: what it gave last time holds.
        const int32_t added = w.pat_table.Add(e);
        if (added < 0) return 0;
        const uint8_t number = e->section->buffer[6];
        if (e->section->buffer[5] & 1) {  // applicable: keep its packets for the PAT copy
            w.pat_unit_count[number] = e->unit_count;
            for (uint16_t k = 0; k < e->unit_count; ++k)
                std::memcpy(w.pat_units[number][k], e->carriers->units[k], e->carriers->unit_size);
            w.saved_unit_size = e->carriers->unit_size;
        }
        if (added == 0) return 0;
        TS_PAT& pat = data->tPAT;
        if (!w.pat_table.Decode(e, &pat)) return 0;
        uint16_t pid = TS_NO_PID;
        if (FollowedPMTPID(pat, &pid) != 0) return kTooManyPrograms;
        w.saved_count = 0;
        for (uint32_t k = 0; k <= w.pat_table.sections.last_section_number; ++k)
            for (uint16_t u = 0; u < w.pat_unit_count[k] && w.saved_count < TS_MAX_CARRIERS; ++u)
                std::memcpy(w.saved[w.saved_count++], w.pat_units[k][u], w.saved_unit_size);
        if (pid != pmt_pid) {
            // Another PMT PID: a section half-collected on the old one is dropped.
            pmt_pid = pid;
            return Abandon();
        }
        return 0;
    }

    static int32_t OnPMT(void* context, const TS_SectionEvent* e) {
        auto* self = static_cast<PMTWalk*>(context);
        return self->PMTSection(e);
    }

    int32_t PMTSection(const TS_SectionEvent* e) {
        carried = true;
        TS_PMT& pmt = data->tPMT;
        // A repeated section is the PMT decoded last time.
        const bool same = e->repeat && pmt_decoded;
        if (!same) {
            pmt_decoded = TS_PMT_FromPreSection(&pmt, e->section, packet->header.PID) == 0;
            if (!pmt_decoded) {
                ++g_tDamage.damaged_sections;
                return Release();
            }
        }
        if (pmt.capacity_reached) NoteCapacity("PMT", pmt.PID, ts_detail::kPMTLimit);
        const TS_SectionCarriers& c = *e->carriers;
        const uint32_t crc = pmt.CRC_32;
        // A packet that ended the last section of this PMT and starts this one is written once.
        const uint16_t first = have_last && crc == last_crc && e->unit_count > 0 && c.index[0] == last_index ? 1 : 0;
        // Packets held for a section given up before this one began go out first.
        int32_t r = w.hold.ReleaseBefore(0, c.index[0], [this](const ScanPacket& p) { return Out(p); });
        if (r != 0) return r;
        if (first < e->unit_count) {
            have_last = true;
            last_index = c.index[e->unit_count - 1];
            last_crc = crc;
            // What the section costs the piece is counted here, once for every sink.
            const uint64_t bytes = uint64_t{w.saved_count} * w.saved_unit_size + uint64_t(e->unit_count - first) * c.unit_size;
            const bool new_run = runs == 0 || crc != run_crc;
            run_crc = crc;
            r = sink.Begin(crc, bytes, new_run);
            for (uint16_t k = 0; k < w.saved_count && r == 0; ++k) r = sink.PATCopy(w.saved[k], w.saved_unit_size);
            if (r == 0)
                r = w.hold.Merge(
                    0, c, e->unit_count, first,
                    [&](uint16_t k) { return sink.Carrier(c.units[k], c.unit_size, c.index[k], c.offset[k]); },
                    [this](const ScanPacket& p) { return Out(p); });
            // The run before is whole: only the first can be a margin.
            if (new_run && runs == 1 && r == 0) r = RunOver(0);
            const int32_t ended = sink.End();
            if (r == 0) r = ended;
            if (new_run) {
                ++runs;
                run_has_pcr = 0;
                run_pcr_first = run_pcr_last = run_ticks = 0;
            }
        } else {
            r = Release();
        }
        pmt_current = true;
        if (!same) Follow(pmt);
        return r;
    }

    int32_t Handle(const ScanPacket& p) {
        const uint16_t pid = p.header.PID;
        packet = &p;
        if (pid == TS_PID_PAT) {
            w.pat_carriers.packet_index = p.index;
            w.pat_carriers.packet_offset = p.byte_offset;
            return TS_Packet_FeedSections(&data->tPATPreSection, TS_SECTION_PAT, &p.header, p.unit, p.unit_size,
                                          &w.pat_carriers, OnPAT, this);
        }
        if (pid == pmt_pid) {
            carried = false;
            w.pmt_carriers.packet_index = p.index;
            w.pmt_carriers.packet_offset = p.byte_offset;
            int32_t r = TS_Packet_FeedSections(&data->tPMTPreSection, TS_SECTION_PMT, &p.header, p.unit,
                                               p.unit_size, &w.pmt_carriers, OnPMT, this);
            if (r != 0) return r;
            if (Collecting()) {
                if (w.pmt_carriers.index[w.pmt_carriers.count - 1] == p.index) carried = true;
            } else if (w.hold.count) {
                if ((r = Release()) != 0) return r;  // the section was given up
            }
            if (carried || !Followed(pid)) return 0;
        } else if (!Followed(pid)) {
            return 0;
        }
        if (Collecting()) {
            if (w.hold.Hold(0, p)) return 0;
            if (!hold_full_noted)
                Report(
                             "Warning: a PMT section of %s is spread over more than %u packets; it is not written.\n",
                             name, kWalkHold);
            hold_full_noted = true;
            int32_t r = Abandon();
            if (r != 0) return r;
        }
        return Out(p);
    }

    // After the scan, which returned `r`: a section never completed gives out what waited for
    // it; at the end of the input the last run may be a margin.
    int32_t Finish(int32_t r) {
        int32_t released = Release();
        if (r == 0 && released == 0 && runs > 0) released = RunOver(runs - 1);
        return r != 0 ? r : released;
    }

    int32_t Run(const InputFile& input) {
        return Finish(ScanInput(data, input, name, [this](const ScanPacket& p) { return Handle(p); }));
    }
};

// TS_SurveyRuns with `watch` called for every packet once the walk has handled it.
using PacketWatch = void (*)(void* context, const ScanPacket& packet);
int32_t SurveyRunsWatched(TS_RunReport* report, const char* fileName, TS_PMTOptions* options, PacketWatch watch,
                          void* context);

}  // namespace ts_detail
