// The walk behind the PMT survey, the split writer and the run report: the PAT, the PMT of
// the one program followed, and the packets of the PIDs that the current PMT names
// (PCR_PID, first program-level CA_PID, elementary_PIDs). The walk decides what a piece
// holds and in which order; its sink only counts, writes or reports it. A sink has:
//   Begin(crc, bytes)              an intact PMT section of that CRC_32 is handed out; it
//                                  costs the piece `bytes` (its PAT copy and its packets)
//   PATCopy(unit, size)            the saved PAT, in front of the section's packets
//   Carrier(unit, size, index, offset)   a packet that carried the section
//   Stream(packet)                 a packet of a followed PID of the PMT current before
//   End()                          the section's PMT is now the current one
// Stream packets that arrive while a PMT section is being collected are held and handed out
// between the section's packets, so every piece keeps input order; a packet that ends one
// section and starts the next section of the same PMT is handed out once.
#pragma once

#include <cstdio>
#include <cstring>

#include "core/report.h"
#include "core/hold.h"
#include "psi/pmt_pids.h"
#include "core/scan.h"
#include "psi/state.h"
#include "pmt/pmt.h"

namespace ts_detail {

inline constexpr int32_t kTooManyPrograms = -3;
inline constexpr uint32_t kWalkHold = 512;  // packets held while one PMT section is collected

// The large parts of the walk's state, in static storage (one driver runs at a time).
struct WalkStorage {
    TS_TableSections pat_sections;
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
    int32_t pat_added = 0;            // what the last PAT section gave the table ...
    bool pat_decoded = false;         // ... and whether the PAT decoded from it
    bool pmt_decoded = false;         // the last PMT section decoded

    PMTWalk(Sink& s, const char* input_name, TS_PMTOptions* walk_options)
        : sink(s), name(input_name), options(walk_options) {
        TS_TableSections_Initialise(&w.pat_sections);
        std::memset(&w.pat_carriers, 0, offsetof(TS_SectionCarriers, units));
        std::memset(&w.pmt_carriers, 0, offsetof(TS_SectionCarriers, units));
        std::memset(w.pat_unit_count, 0, sizeof w.pat_unit_count);
        w.saved_count = 0;
        w.saved_unit_size = 0;
        w.hold.count = 0;
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
        return w.hold.Release(0, [this](const ScanPacket& p) { return sink.Stream(p); });
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
        const int32_t added = e->repeat ? pat_added : TS_TableSections_Add(&w.pat_sections, e->section);
        pat_added = added;
        if (added < 0) {
            ++g_tDamage.damaged_sections;
            return 0;
        }
        const uint8_t number = e->section->buffer[6];
        if (e->section->buffer[5] & 1) {  // applicable: keep its packets for the PAT copy
            w.pat_unit_count[number] = e->unit_count;
            for (uint16_t k = 0; k < e->unit_count; ++k)
                std::memcpy(w.pat_units[number][k], e->carriers->units[k], e->carriers->unit_size);
            w.saved_unit_size = e->carriers->unit_size;
        }
        if (added == 0) return 0;
        TS_PAT& pat = data->tPAT;
        if (!(e->repeat && pat_decoded)) {
            pat_decoded = TS_PAT_FromTableSections(&pat, &w.pat_sections) == 0;
            if (!pat_decoded) {
                ++g_tDamage.damaged_sections;
                return 0;
            }
        }
        if (pat.capacity_reached) NoteCapacity("PAT", TS_PID_PAT, ts_detail::kProgramsLimit);
        uint16_t pid = TS_NO_PID;
        if (FollowedPMTPID(pat, &pid) != 0) return kTooManyPrograms;
        w.saved_count = 0;
        for (uint32_t k = 0; k <= w.pat_sections.last_section_number; ++k)
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
        int32_t r = w.hold.ReleaseBefore(0, c.index[0], [this](const ScanPacket& p) { return sink.Stream(p); });
        if (r != 0) return r;
        if (first < e->unit_count) {
            have_last = true;
            last_index = c.index[e->unit_count - 1];
            last_crc = crc;
            // What the section costs the piece is counted here, once for every sink.
            const uint64_t bytes = uint64_t{w.saved_count} * w.saved_unit_size + uint64_t(e->unit_count - first) * c.unit_size;
            r = sink.Begin(crc, bytes);
            for (uint16_t k = 0; k < w.saved_count && r == 0; ++k) r = sink.PATCopy(w.saved[k], w.saved_unit_size);
            if (r == 0)
                r = w.hold.Merge(
                    0, c, e->unit_count, first,
                    [&](uint16_t k) { return sink.Carrier(c.units[k], c.unit_size, c.index[k], c.offset[k]); },
                    [this](const ScanPacket& p) { return sink.Stream(p); });
            sink.End();
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
        return sink.Stream(p);
    }

    int32_t Run(const InputFile& input) {
        int32_t r = ScanInput(data, input, name, [this](const ScanPacket& p) { return Handle(p); });
        // A section never completed: what waited for it goes out.
        int32_t released = Release();
        return r != 0 ? r : released;
    }
};

}  // namespace ts_detail
