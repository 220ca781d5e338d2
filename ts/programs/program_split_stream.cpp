// The split of one program, chosen by its PMT PID, into a named file: its PMT sections whole
// and the packets of the PIDs its PMT names, each once and in input order, without PAT.
#include <cstdio>
#include <cstring>

#include "psi/pat_table.h"
#include "psi/pmt_pids.h"
#include "programs/program_output.h"
#include "core/scan.h"
#include "psi/state.h"
#include "programs/program_split.h"

namespace {

using ts_detail::ScanPacket;

constexpr uint32_t kSlot = 0;

struct StreamSplit {
    const char* file_name = nullptr;
    const char* output_name = nullptr;
    ts_detail::SplitIO io;
    ts_detail::PATTable pat_table;
    ts_detail::ProgramPMT program;
    uint8_t followed[8192 / 8];  // PIDs the program's PMT names
    uint16_t pmt_pid = 0;
    uint16_t program_number = 0;  // of the first program the PAT in force lists on the PMT PID
    bool listed = false;          // the PAT in force lists the program
    bool seen = false;            // some PAT listed it
    bool open = false;
    bool carried = false;
    bool keep_si = false;

    bool Followed(uint16_t pid) const { return followed[pid >> 3] >> (pid & 7) & 1; }

    void Route(const TS_PMT& pmt) {
        for (uint16_t i = 0; i < program.pid_count; ++i)
            followed[program.pids[i] >> 3] &= static_cast<uint8_t>(~(1u << (program.pids[i] & 7)));
        program.pid_count = 0;
        ts_detail::ForEachPIDOfPMT(pmt, [this](uint16_t pid) {
            if (Followed(pid)) return;
            followed[pid >> 3] |= static_cast<uint8_t>(1u << (pid & 7));
            program.pids[program.pid_count++] = pid;
        });
    }

    static int32_t OnPAT(void* context, const TS_SectionEvent* event) {
        return static_cast<StreamSplit*>(context)->PATSection(event);
    }

    int32_t PATSection(const TS_SectionEvent* event) {
        TS_PAT& pat = g_tSimpleData.tPAT;
        if (pat_table.Add(event) <= 0 || !pat_table.Decode(event, &pat)) return 0;
        const uint32_t count = pat.program_count < TS_MAX_PROGRAMS ? pat.program_count : TS_MAX_PROGRAMS;
        for (uint32_t i = 0; i < count; ++i) {
            if (pat.programs[i].program_number == 0 || pat.programs[i].PID != pmt_pid) continue;
            program_number = pat.programs[i].program_number;
            listed = seen = true;
            return 0;
        }
        listed = false;
        // A program that has not appeared yet may still enter; one that left is done.
        return seen ? ts_detail::kSplitStop : 0;
    }

    static int32_t OnPMT(void* context, const TS_SectionEvent* event) {
        return static_cast<StreamSplit*>(context)->PMTSection(event);
    }

    int32_t PMTSection(const TS_SectionEvent* event) {
        carried = true;
        const uint16_t number = static_cast<uint16_t>((event->section->buffer[3] << 8) | event->section->buffer[4]);
        if (number != program_number) {
            const TS_PAT& pat = g_tSimpleData.tPAT;
            const uint32_t count = pat.program_count < TS_MAX_PROGRAMS ? pat.program_count : TS_MAX_PROGRAMS;
            for (uint32_t i = 0; i < count; ++i)
                if (pat.programs[i].PID == pmt_pid && pat.programs[i].program_number == number)
                    return open ? io.Release(kSlot) : 0;  // another program's PMT on the same PID
        }
        TS_PMT& pmt = g_tSimpleData.tPMT;
        // A repeated section is the PMT as decoded and routed last time.
        const bool same = event->repeat && program.decoded;
        if (!same) {
            program.decoded = TS_PMT_FromPreSection(&pmt, event->section, pmt_pid) == 0;
            if (!program.decoded) {
                ++ts_detail::g_tDamage.damaged_sections;
                return open ? io.Release(kSlot) : 0;
            }
            if (pmt.capacity_reached) ts_detail::NoteCapacity("PMT", pmt_pid, ts_detail::kPMTLimit);
        }
        if (!open) {
            int32_t r = io.Open(kSlot, output_name, "error - failed on _open(%s) [dest]\n");
            if (r != 0) return r;
            open = true;
        }
        int32_t r = io.WriteSection(kSlot, program, event);
        if (!same) Route(pmt);
        return r;
    }

    int32_t Handle(const ScanPacket& p) {
        const uint16_t pid = p.header.PID;
        if (pid == TS_PID_PAT)
            return TS_Packet_FeedSections(&g_tSimpleData.tPATPreSection, TS_SECTION_PAT, &p.header, p.unit,
                                          p.unit_size, nullptr, &OnPAT, this);
        if (!listed) return 0;
        carried = false;
        if (pid == pmt_pid) {
            program.carriers.packet_index = p.index;
            program.carriers.packet_offset = p.byte_offset;
            int32_t r = TS_Packet_FeedSections(&program.pre, TS_SECTION_PMT, &p.header, p.unit, p.unit_size,
                                               &program.carriers, &OnPMT, this);
            if (r != 0) return r;
            if (program.Collecting()) {
                if (program.carriers.index[program.carriers.count - 1] == p.index) carried = true;
            } else if (open) {
                if ((r = io.Release(kSlot)) != 0) return r;
            }
        }
        if (carried || !open || !(Followed(pid) || (keep_si && TS_IsServiceInformationPID(pid)))) return 0;
        return io.Route(kSlot, program, p, file_name);
    }
};

StreamSplit s_tStream;

}  // namespace

int32_t TS_ProgramSplitStream(const char* outputName, const char* fileName, uint16_t pid,
                              TS_OutputOpenedHandler opened, void* context, const TS_ProgramSplitOptions* options) {
    if (outputName == nullptr || fileName == nullptr) return -1;
    StreamSplit& s = s_tStream;
    TS_InitialiseSimple(&g_tSimpleData);
    s.pat_table.Initialise();
    s.program.Reset();
    s.program.pid_count = 0;
    std::memset(s.followed, 0, sizeof s.followed);
    s.io.opened = opened;
    s.io.context = context;
    s.io.hold.count = 0;
    s.io.hold_full_noted = false;
    s.file_name = fileName;
    s.output_name = outputName;
    s.pmt_pid = pid;
    s.program_number = 0;
    s.listed = s.seen = s.open = false;
    s.keep_si = options && options->keep_si;
    if (ts_detail::OpenInput(&s.io.input, fileName) != 0) return -2;
    int32_t r = ts_detail::ScanInput(&g_tSimpleData, s.io.input, fileName,
                                    [](const ScanPacket& p) { return s.Handle(p); });
    if (r == ts_detail::kSplitStop) r = 0;
    if ((r == 0 || r == TS_READ_FAILED) && s.open) {
        int32_t released = s.io.Release(kSlot);
        if (released != 0) r = released;
    }
    int32_t closed = ts_detail::FinishOutputs(r);
    ts_detail::CloseInput(&s.io.input);
    return r != 0 ? r : closed;
}
