// The split to files: every program of the PAT into a file of its own, with a reduced PAT.
//
// Only intact PAT and PMT sections are followed. A program's file is made at its first intact
// PMT; a PMT section is written whole, every packet that carried it, and every other packet
// once into each output that wants it. Two PID routing tables say which programs want a
// packet: one for the PMT PIDs the PAT lists, one for the PIDs the programs' PMTs name; a
// program's routes change only when its PMT or its place in the PAT does.
#include <bit>
#include <cstdio>
#include <cstring>

#include "core/report.h"
#include "psi/pat_table.h"
#include "psi/pmt_pids.h"
#include "programs/program_output.h"
#include "core/scan.h"
#include "psi/state.h"
#include "programs/program_split.h"

TS_PNSplitData g_tPNSplitData;

namespace {

using ts_detail::ScanPacket;

constexpr uint32_t kPIDCount = 8192;
constexpr uint32_t kEntries = TS_MAX_PROGRAMS;
constexpr uint32_t kWords = kEntries / 64;

// One bit per program entry.
struct EntrySet {
    uint64_t w[kWords];
    void Set(uint32_t e) { w[e / 64] |= uint64_t{1} << (e % 64); }
    void Clear(uint32_t e) { w[e / 64] &= ~(uint64_t{1} << (e % 64)); }
    bool Has(uint32_t e) const { return (w[e / 64] >> (e % 64)) & 1; }
    bool Any() const {
        uint64_t any = 0;
        for (uint64_t x : w) any |= x;
        return any != 0;
    }
    template <class F>
    int32_t ForEach(F&& f) const {
        for (uint32_t k = 0; k < kWords; ++k)
            for (uint64_t m = w[k]; m; m &= m - 1) {
                int32_t r = f(k * 64 + static_cast<uint32_t>(std::countr_zero(m)));
                if (r != 0) return r;
            }
        return 0;
    }
};

struct FileSplit {
    const char* file_name = nullptr;
    const char* base = nullptr;  // of the output names
    bool keep_si = false;
    EntrySet open_files;         // entries whose file is open
    ts_detail::SplitIO io;
    ts_detail::PATTable pat_table;
    ts_detail::ProgramPMT programs[kEntries];  // parallel to g_tPNSplitData.ltEntry
    EntrySet pmt_route[kPIDCount];              // entries whose PMT PID it is
    EntrySet stream_route[kPIDCount];           // entries whose PMT names it
    uint8_t routed[kPIDCount];                  // 1: the PID has a route of either kind
    EntrySet listed;                            // entries the PAT in force lists
    EntrySet carried;                           // entries the packet in hand is a PMT packet of
    const ScanPacket* packet = nullptr;
    uint8_t pat_unit[TS_MAX_UNIT_SIZE];         // the PAT packet that completed the PAT in force
    uint8_t reduced[TS_MAX_UNIT_SIZE];
    TS_PMT pmt;                                 // each PMT section is decoded here
    bool warned_full = false;

    uint32_t Index(const ts_detail::ProgramPMT* p) const { return static_cast<uint32_t>(p - programs); }

    void Mark(uint16_t pid) { routed[pid] = pmt_route[pid].Any() || stream_route[pid].Any(); }

    void Unroute(uint32_t e) {
        ts_detail::ProgramPMT& p = programs[e];
        for (uint16_t i = 0; i < p.pid_count; ++i) {
            stream_route[p.pids[i]].Clear(e);
            Mark(p.pids[i]);
        }
        p.pid_count = 0;
    }

    void RouteStreams(uint32_t e, const TS_PMT& decoded) {
        Unroute(e);
        ts_detail::ProgramPMT& p = programs[e];
        ts_detail::ForEachPIDOfPMT(decoded, [&](uint16_t pid) {
            if (stream_route[pid].Has(e)) return;
            stream_route[pid].Set(e);
            routed[pid] = 1;
            p.pids[p.pid_count++] = pid;
        });
    }

    void RoutePMT(uint32_t e, bool on) {
        const uint16_t pid = g_tPNSplitData.ltEntry[e].u16PMTPID & 0x1FFF;
        if (on) pmt_route[pid].Set(e);
        else pmt_route[pid].Clear(e);
        Mark(pid);
    }

    int32_t FindEntry(uint16_t program_number, uint16_t duplicate) const {
        for (uint32_t e = 0; e < g_tPNSplitData.u16Count; ++e) {
            const TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
            if (entry.u16ProgramNumber == program_number && entry.u16Duplicate == duplicate)
                return static_cast<int32_t>(e);
        }
        return -1;
    }

    const TS_ProgramData* NetworkEntry() const {
        const TS_PAT& pat = g_tData.tPAT;
        for (uint32_t i = 0; i < pat.program_count && i < TS_MAX_PROGRAMS; ++i)
            if (pat.programs[i].program_number == 0) return &pat.programs[i];
        return nullptr;
    }

    const TS_ProgramData* OwnEntry(uint32_t e) const {
        const TS_PAT& pat = g_tData.tPAT;
        const TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
        uint16_t duplicate = 0;
        for (uint32_t i = 0; i < pat.program_count && i < TS_MAX_PROGRAMS; ++i) {
            if (pat.programs[i].program_number != entry.u16ProgramNumber) continue;
            if (duplicate++ == entry.u16Duplicate) return &pat.programs[i];
        }
        return nullptr;
    }

    int32_t WriteReducedPAT(uint32_t e) {
        const TS_ProgramData* own = OwnEntry(e);
        if (own == nullptr) return 0;
        ts_detail::BuildReducedPAT(reduced, pat_unit, packet->unit_size, g_tData.tPAT, *own, NetworkEntry());
        return ts_detail::WriteOutput(e, reduced, packet->unit_size);
    }

    int32_t OpenFile(uint32_t e) {
        TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
        int n = std::snprintf(g_strString2, TS_NAME_CAPACITY, "%s_%u_%u_%u.ts", base,
                              entry.u16ProgramNumber, entry.u16Duplicate, entry.u32Generation);
        if (n < 0 || static_cast<size_t>(n) >= TS_NAME_CAPACITY) {
            ts_detail::Report("Error: Failed open %s.\n", g_strString2);
            return -3;
        }
        int32_t r = io.Open(e, g_strString2);
        if (r != 0) return r;
        entry.nFile = static_cast<int32_t>(e);
        entry.u8Written = 1;
        open_files.Set(e);
        return WriteReducedPAT(e);
    }

    // A program no longer listed: its file is completed, its routes dropped; a return starts
    // afresh in a file of the next generation.
    int32_t Leave(uint32_t e) {
        TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
        ++entry.u32Generation;
        int32_t r = entry.nFile >= 0 ? io.Release(e) : 0;
        programs[e].Reset();
        Unroute(e);
        RoutePMT(e, false);
        if (entry.nFile >= 0) {
            entry.nFile = -1;
            open_files.Clear(e);
            int32_t closed = ts_detail::CloseOutput(e);
            if (r == 0) r = closed;
        }
        return r;
    }

    static int32_t OnPAT(void* context, const TS_SectionEvent* event) {
        return static_cast<FileSplit*>(context)->PATSection(event);
    }

    int32_t PATSection(const TS_SectionEvent* event) {
        TS_PAT& pat = g_tData.tPAT;
        if (pat_table.Add(event) <= 0 || !pat_table.Decode(event, &pat)) return 0;
        std::memcpy(pat_unit, packet->unit, packet->unit_size);
        const uint32_t count = pat.program_count < TS_MAX_PROGRAMS ? pat.program_count : TS_MAX_PROGRAMS;

        // Each program listed: its entry (made at its first appearance) and, when its file is
        // open, its reduced PAT.
        EntrySet now{};
        for (uint32_t i = 0; i < count; ++i) {
            const TS_ProgramData& program = pat.programs[i];
            if (program.program_number == 0) continue;
            uint16_t duplicate = 0;
            for (uint32_t j = 0; j < i; ++j)
                if (pat.programs[j].program_number == program.program_number) ++duplicate;
            int32_t found = FindEntry(program.program_number, duplicate);
            if (found < 0) {
                if (g_tPNSplitData.u16Count == kEntries) {
                    if (!warned_full)
                        ts_detail::Report(
                                     "Warning: more than %u programs in %s; program %u and any later new program are not split.\n",
                                     kEntries, file_name, program.program_number);
                    warned_full = true;
                    continue;
                }
                found = g_tPNSplitData.u16Count++;
                TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[found];
                entry.u16ProgramNumber = program.program_number;
                entry.u16PMTPID = program.PID;
                entry.u16Duplicate = duplicate;
                entry.u32Generation = 0;
                entry.nFile = -1;
                entry.u8Written = 0;
                programs[found].Reset();
                programs[found].pid_count = 0;
            }
            const uint32_t e = static_cast<uint32_t>(found);
            TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
            now.Set(e);
            if (listed.Has(e) && entry.u16PMTPID != program.PID) {
                // The program's PMT moved: follow it on its new PID, keeping the file.
                RoutePMT(e, false);
                int32_t r = io.Release(e);
                if (r != 0) return r;
                programs[e].Reset();
            }
            entry.u16PMTPID = program.PID;
            RoutePMT(e, true);
            if (entry.nFile >= 0) {
                int32_t r = WriteReducedPAT(e);
                if (r != 0) return r;
            }
        }
        // Programs gone.
        for (uint32_t e = 0; e < g_tPNSplitData.u16Count; ++e) {
            if (now.Has(e)) continue;
            if (!listed.Has(e)) {
                ++g_tPNSplitData.ltEntry[e].u32Generation;  // still away
                continue;
            }
            int32_t r = Leave(e);
            if (r != 0) return r;
        }
        listed = now;
        return 0;
    }

    static int32_t OnPMT(void* context, const TS_SectionEvent* event);

    int32_t PMTSection(uint32_t e, const TS_SectionEvent* event) {
        carried.Set(e);
        ts_detail::ProgramPMT& program = programs[e];
        const TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
        // Programs may share a PMT PID; a section that names another listed program of this PID
        // is that program's.
        const uint16_t number = static_cast<uint16_t>((event->section->buffer[3] << 8) | event->section->buffer[4]);
        if (number != entry.u16ProgramNumber) {
            for (uint32_t o = 0; o < g_tPNSplitData.u16Count; ++o) {
                const TS_PNSplitEntry& other = g_tPNSplitData.ltEntry[o];
                if (listed.Has(o) && other.u16PMTPID == entry.u16PMTPID && other.u16ProgramNumber == number)
                    return entry.nFile >= 0 ? io.Release(e) : 0;
            }
        }
        // A repeated section is the program's PMT as decoded and routed last time.
        const bool same = event->repeat && program.decoded;
        if (!same) {
            program.decoded = TS_PMT_FromPreSection(&pmt, event->section, entry.u16PMTPID) == 0;
            if (!program.decoded) {
                ++ts_detail::g_tDamage.damaged_sections;
                return entry.nFile >= 0 ? io.Release(e) : 0;
            }
            if (pmt.capacity_reached) ts_detail::NoteCapacity("PMT", entry.u16PMTPID, ts_detail::kPMTLimit);
        }
        if (entry.nFile < 0) {
            int32_t r = OpenFile(e);
            if (r != 0) return r;
        }
        int32_t r = io.WriteSection(e, program, event);
        if (!same) RouteStreams(e, pmt);
        return r;
    }

    int32_t Handle(const ScanPacket& p) {
        packet = &p;
        const uint16_t pid = p.header.PID;
        if (pid == TS_PID_PAT)
            return TS_Packet_FeedSections(&g_tData.tPATPreSection, TS_SECTION_PAT, &p.header, p.unit,
                                          p.unit_size, nullptr, &OnPAT, this);
        if (!routed[pid]) {
            // The service information, when it is kept, goes into every file open.
            if (!keep_si || !TS_IsServiceInformationPID(pid)) return 0;
            return open_files.ForEach([&](uint32_t e) { return io.Route(e, programs[e], p, file_name); });
        }
        carried = EntrySet{};
        int32_t r = pmt_route[pid].ForEach([&](uint32_t e) -> int32_t {
            ts_detail::ProgramPMT& program = programs[e];
            program.carriers.packet_index = p.index;
            program.carriers.packet_offset = p.byte_offset;
            int32_t fed = TS_Packet_FeedSections(&program.pre, TS_SECTION_PMT, &p.header, p.unit, p.unit_size,
                                                 &program.carriers, &OnPMT, &program);
            if (fed != 0) return fed;
            if (program.Collecting()) {
                if (program.carriers.index[program.carriers.count - 1] == p.index) carried.Set(e);
            } else if (g_tPNSplitData.ltEntry[e].nFile >= 0) {
                return io.Release(e);  // a section given up: what waited for it goes out
            }
            return 0;
        });
        if (r != 0) return r;
        EntrySet to = stream_route[pid];
        if (keep_si && TS_IsServiceInformationPID(pid))
            for (uint32_t k = 0; k < kWords; ++k) to.w[k] |= open_files.w[k];
        return to.ForEach([&](uint32_t e) -> int32_t {
            if (carried.Has(e)) return 0;
            return io.Route(e, programs[e], p, file_name);
        });
    }
};

FileSplit s_tSplit;

int32_t FileSplit::OnPMT(void* context, const TS_SectionEvent* event) {
    auto* program = static_cast<ts_detail::ProgramPMT*>(context);
    return s_tSplit.PMTSection(s_tSplit.Index(program), event);
}

}  // namespace

int32_t TS_ProgramSplitFile(const char* fileName, TS_OutputOpenedHandler opened, void* context,
                            const TS_ProgramSplitOptions* options) {
    if (fileName == nullptr) return -1;
    FileSplit& s = s_tSplit;
    TS_Initialise(&g_tData);
    std::memset(&g_tPNSplitData, 0, sizeof g_tPNSplitData);
    for (TS_PNSplitEntry& entry : g_tPNSplitData.ltEntry) entry.nFile = -1;
    std::memset(static_cast<void*>(s.pmt_route), 0, sizeof s.pmt_route);
    std::memset(static_cast<void*>(s.stream_route), 0, sizeof s.stream_route);
    std::memset(s.routed, 0, sizeof s.routed);
    s.listed = {};
    s.open_files = {};
    s.keep_si = options && options->keep_si;
    s.io.opened = opened;
    s.io.context = context;
    s.io.hold.count = 0;
    s.io.hold_full_noted = false;
    s.file_name = fileName;
    s.warned_full = false;
    s.pat_table.Initialise();
    if (GetBaseFileName(g_strString1, fileName) != 0) {
        ts_detail::Report("Error: Failed open %s.\n", fileName);
        return -2;
    }
    s.base = options && options->output_base ? options->output_base : g_strString1;
    if (ts_detail::OpenInput(&s.io.input, fileName) != 0) return -2;
    int32_t r = ts_detail::ScanInput(&g_tData, s.io.input, fileName,
                                    [](const ScanPacket& p) { return s.Handle(p); });
    // Sections never completed: what waited for them goes out.
    for (uint32_t e = 0; e < g_tPNSplitData.u16Count && (r == 0 || r == TS_READ_FAILED); ++e)
        if (g_tPNSplitData.ltEntry[e].nFile >= 0) {
            int32_t released = s.io.Release(e);
            if (released != 0) r = released;
        }
    if (r == 0 || r == TS_READ_FAILED) {
        // The programs of the PAT that never had an intact PMT, on one line.
        bool any = false;
        ts_detail::MessageBuilder message;
        for (uint32_t e = 0; e < g_tPNSplitData.u16Count; ++e) {
            const TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
            if (entry.u8Written) continue;
            message.Add("%s program %u (PMT PID 0x%04X)", any ? "," : "Warning: no intact PMT for",
                        entry.u16ProgramNumber, entry.u16PMTPID);
            any = true;
        }
        if (any) {
            message.Add(" in %s; no file was written for them.\n", fileName);
            message.Send();
        }
    }
    for (TS_PNSplitEntry& entry : g_tPNSplitData.ltEntry) entry.nFile = -1;
    int32_t closed = ts_detail::FinishOutputs(r);
    ts_detail::CloseInput(&s.io.input);
    return r != 0 ? r : closed;
}
