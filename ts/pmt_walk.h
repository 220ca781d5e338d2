// The walk behind the PMT survey, the split writer and the run report: the PAT, the PMT of
// the one program followed, and the packets of the PIDs that the current PMT names
// (PCR_PID, first program-level CA_PID, elementary_PIDs), each handed to a sink once.
// A sink has Section(crc, pat, pat_size, units, unit_count, unit_size, packet), called for
// each intact PMT section with the saved PAT packet and the packets that carried the section,
// and Stream(packet) for each packet of a followed PID while a PMT is current.
#pragma once

#include <cstring>

#include "pmt_pids.h"
#include "scan.h"
#include "state.h"
#include "ts.h"

namespace ts_detail {

inline constexpr int32_t kTooManyPrograms = -3;

template <class Sink>
struct PMTWalk {
    Sink& sink;
    TS_SimpleData* data = &g_tSimpleData;
    uint16_t pmt_pid = TS_NO_PID;     // PID of the PMT followed, TS_NO_PID while none
    bool pmt_current = false;         // a PMT has been decoded
    uint8_t followed[8192 / 8] = {};  // PIDs of the current PMT
    uint8_t saved_pat[TS_M2TS_PACKET_SIZE] = {};
    uint32_t saved_pat_size = 0;
    const ScanPacket* packet = nullptr;
    TS_SectionCarriers carriers{};

    explicit PMTWalk(Sink& s) : sink(s) {}

    // The program followed: entry 1 of the PAT, or entry 0 when entry 1 is the network
    // entry or absent (most muxers write a one-entry PAT).
    static uint16_t FollowedPMTPID(const TS_PAT& pat) {
        if (pat.program_count > 1 && pat.programs[1].program_number != 0) return pat.programs[1].PID;
        if (pat.program_count > 0 && pat.programs[0].program_number != 0) return pat.programs[0].PID;
        return TS_NO_PID;
    }

    void Follow(const TS_PMT& pmt) {
        std::memset(followed, 0, sizeof followed);
        ForEachPIDOfPMT(pmt, [this](uint16_t pid) { followed[pid >> 3] |= static_cast<uint8_t>(1u << (pid & 7)); });
    }

    static int32_t OnPAT(void* context, const TS_SectionEvent* e) {
        auto* w = static_cast<PMTWalk*>(context);
        if (!e->intact) return 0;
        TS_PAT& pat = w->data->tPAT;
        TS_PAT_FromPreSection(&pat, e->section);
        if (pat.program_count > 2) return kTooManyPrograms;
        std::memcpy(w->saved_pat, w->packet->unit, w->packet->unit_size);
        w->saved_pat_size = w->packet->unit_size;
        uint16_t pid = FollowedPMTPID(pat);
        if (pid != w->pmt_pid) {
            // Another PMT PID: a section half-collected on the old one is dropped.
            TS_PreSection_Initialise(&w->data->tPMTPreSection);
            w->carriers.count = 0;
            w->pmt_pid = pid;
        }
        return 0;
    }

    static int32_t OnPMT(void* context, const TS_SectionEvent* e) {
        auto* w = static_cast<PMTWalk*>(context);
        if (!e->intact) return 0;
        TS_PMT& pmt = w->data->tPMT;
        TS_PMT_FromPreSection(&pmt, e->section, w->packet->header.PID);
        w->pmt_current = true;
        w->Follow(pmt);
        return w->sink.Section(pmt.CRC_32, w->saved_pat, w->saved_pat_size, e->units, e->unit_count,
                               e->unit_size, *w->packet);
    }

    int32_t Handle(const ScanPacket& p) {
        const uint16_t pid = p.header.PID;
        packet = &p;
        if (pid == TS_PID_PAT)
            return TS_Packet_FeedSections(&data->tPATPreSection, TS_SECTION_PAT, &p.header, p.unit,
                                          p.unit_size, nullptr, OnPAT, this);
        if (pid == pmt_pid)
            return TS_Packet_FeedSections(&data->tPMTPreSection, TS_SECTION_PMT, &p.header, p.unit,
                                          p.unit_size, &carriers, OnPMT, this);
        if (pmt_current && (followed[pid >> 3] >> (pid & 7) & 1)) return sink.Stream(p);
        return 0;
    }

    int32_t Run(int fd) {
        return ScanFile(data, fd, [this](const ScanPacket& p) { return Handle(p); });
    }
};

}  // namespace ts_detail
