// The dump driver: walks a file over g_tData and prints what the print flags select.
//
// PAT, CAT and PMT sections are assembled and decoded whatever the flags say; PCRs,
// private sections and EMM sections only when their flag is set. Only sections whose CRC-32
// checks (or short-form sections, which carry none) update a table or get printed.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "core/input.h"
#include "core/output.h"
#include "core/scan.h"
#include "psi/state.h"
#include "dump/text.h"
#include "dump/dump.h"

namespace {

constexpr char kSeparator[] = "========================================\n";
constexpr uint32_t kPIDSpace = 8192;
// How often (in packets) the walk asks whether standard output still takes text.
constexpr uint64_t kOutputCheckInterval = 4096;
constexpr int32_t kStopOutputFailed = 1;

struct DumpState {
    uint32_t flags = 0;
    TS_Data* data = nullptr;
    const ts_detail::ScanPacket* packet = nullptr;
    bool separator_pending = false;
    // CA_PID of each PMT slot's first program-level CA_descriptor, and the CAT's; TS_NO_PID
    // when there is none. Kept up to date as the tables are decoded.
    uint16_t slot_ca_pid[TS_MAX_PMT_SLOTS];
    uint16_t emm_pid = TS_NO_PID;
    // The slots in use, in the order of the PAT's program loop.
    uint16_t order_count = 0;
    uint16_t order[TS_MAX_PMT_SLOTS];
    uint8_t pmt_pid[kPIDSpace / 8] = {};  // PIDs some slot's PMT comes on
    TS_TableSections pat_sections;
    TS_TableSections cat_sections;
    // PIDs already in the PID list.
    uint8_t listed[kPIDSpace / 8] = {};
};

// What a section handler needs: the walk's state and, for PMTs, the slot being fed.
struct SectionContext {
    DumpState* state;
    uint32_t slot;
};

// The packet lines of a dump of every packet, gathered in one block and written to the
// standard output's descriptor when it fills or before anything else is printed (what stdio
// holds goes first), so the lines take large writes and no copy through stdio.
struct PacketLines {
    static constexpr size_t kCapacity = 128 * 1024;
    size_t used = 0;
    bool failed = false;  // a write of a block failed
    char bytes[kCapacity];

    void Add(const TS_Header& header) {
        if (kCapacity - used < sizeof kSeparator - 1 + ts_detail::kPacketLineMax) Flush();
        std::memcpy(bytes + used, kSeparator, sizeof kSeparator - 1);
        used += sizeof kSeparator - 1;
        used += ts_detail::FormatPacketLine(bytes + used, header, false);
    }
    // A failed write is noted with its errno, for the command's message.
    void Flush() {
        if (used == 0 || failed) {
            used = 0;
            return;
        }
        if (std::fflush(stdout) != 0) failed = true;
        const char* p = bytes;
        size_t left = failed ? 0 : used;
        while (left > 0) {
            const ssize_t n = ::write(STDOUT_FILENO, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed = true;
                ts_detail::NoteFailure("-", n < 0 ? errno : EIO);
                break;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
        used = 0;
    }
};

PacketLines g_tPacketLines;

bool OutputFailed() { return g_tPacketLines.failed || std::ferror(stdout); }

void PrintSeparator(DumpState* s) {
    g_tPacketLines.Flush();
    if (!s->separator_pending) return;
    std::fputs(kSeparator, stdout);
    s->separator_pending = false;
}

// The separator (once per packet) and the header line of the packet in hand.
void PrintSectionLead(DumpState* s) {
    PrintSeparator(s);
    TS_Packet_PrintHeader(&s->packet->header);
}

// The PMT slots follow the programs of the PAT in force: a program keeps its slot while the
// PAT lists it under the same PMT PID; a slot it no longer has is dropped.
void FollowPrograms(DumpState* s) {
    TS_Data* d = s->data;
    const TS_PAT& pat = d->tPAT;
    const uint32_t count = pat.program_count < TS_MAX_PROGRAMS ? pat.program_count : TS_MAX_PROGRAMS;
    auto listed = [&](uint32_t slot) {
        for (uint32_t i = 0; i < count; ++i)
            if (pat.programs[i].program_number != 0 && pat.programs[i].program_number == d->lu16PMTSlotProgram[slot] &&
                pat.programs[i].PID == d->lu16PMTSlotPID[slot])
                return true;
        return false;
    };
    for (uint32_t slot = 0; slot < TS_MAX_PMT_SLOTS; ++slot) {
        if (d->lu16PMTSlotPID[slot] == TS_NO_PID || listed(slot)) continue;
        d->lu16PMTSlotPID[slot] = TS_NO_PID;
        d->ltPMT[slot].decoded = 0;
        TS_PreSection_Initialise(&d->ltPMTPreSection[slot]);
        s->slot_ca_pid[slot] = TS_NO_PID;
        --d->u16PMTSlotCount;
    }
    s->order_count = 0;
    std::memset(s->pmt_pid, 0, sizeof s->pmt_pid);
    for (uint32_t i = 0; i < count; ++i) {
        const TS_ProgramData& program = pat.programs[i];
        if (program.program_number == 0) continue;
        uint32_t slot = 0;
        while (slot < TS_MAX_PMT_SLOTS && !(d->lu16PMTSlotPID[slot] == program.PID &&
                                            d->lu16PMTSlotProgram[slot] == program.program_number))
            ++slot;
        bool taken = false;
        for (uint32_t k = 0; k < s->order_count && slot < TS_MAX_PMT_SLOTS; ++k) taken = taken || s->order[k] == slot;
        if (taken) continue;  // the same program twice in the loop
        if (slot == TS_MAX_PMT_SLOTS) {
            slot = 0;
            while (slot < TS_MAX_PMT_SLOTS && d->lu16PMTSlotPID[slot] != TS_NO_PID) ++slot;
            if (slot == TS_MAX_PMT_SLOTS) {
                ts_detail::NoteCapacity("PAT", TS_PID_PAT, ts_detail::kSlotsLimit);
                continue;
            }
            d->lu16PMTSlotPID[slot] = program.PID;
            d->lu16PMTSlotProgram[slot] = program.program_number;
            d->ltPMT[slot].decoded = 0;
            TS_PreSection_Initialise(&d->ltPMTPreSection[slot]);
            s->slot_ca_pid[slot] = TS_NO_PID;
            ++d->u16PMTSlotCount;
        }
        s->order[s->order_count++] = static_cast<uint16_t>(slot);
        s->pmt_pid[program.PID >> 3] |= static_cast<uint8_t>(1u << (program.PID & 7));
    }
}

int32_t OnPAT(void* context, const TS_SectionEvent* event) {
    DumpState* s = static_cast<SectionContext*>(context)->state;
    const int32_t added = TS_TableSections_Add(&s->pat_sections, event->section);
    if (added < 0) ++ts_detail::g_tDamage.damaged_sections;
    if (added <= 0) return 0;
    if (TS_PAT_FromTableSections(&s->data->tPAT, &s->pat_sections) != 0) {
        ++ts_detail::g_tDamage.damaged_sections;
        return 0;
    }
    if (s->data->tPAT.capacity_reached) ts_detail::NoteCapacity("PAT", TS_PID_PAT, ts_detail::kProgramsLimit);
    FollowPrograms(s);
    if (s->flags & TS_PRINT_PAT) {
        PrintSectionLead(s);
        TS_PAT_Print(&s->data->tPAT);
    }
    return 0;
}

int32_t OnCAT(void* context, const TS_SectionEvent* event) {
    DumpState* s = static_cast<SectionContext*>(context)->state;
    const int32_t added = TS_TableSections_Add(&s->cat_sections, event->section);
    if (added < 0) ++ts_detail::g_tDamage.damaged_sections;
    if (added <= 0) return 0;
    if (TS_CAT_FromTableSections(&s->data->tCAT, &s->cat_sections) != 0) {
        ++ts_detail::g_tDamage.damaged_sections;
        return 0;
    }
    if (s->data->tCAT.capacity_reached) ts_detail::NoteCapacity("CAT", TS_PID_CAT, ts_detail::kCATLimit);
    uint16_t ca_pid = TS_NO_PID;
    TS_GetCAPIDFromCAT(&ca_pid, &s->data->tCAT);
    s->emm_pid = ca_pid;
    if (s->flags & TS_PRINT_CAT) {
        PrintSectionLead(s);
        TS_CAT_Print(&s->data->tCAT);
    }
    return 0;
}

// A PMT section on a PID that several programs share goes to the slot of its
// program_number, else to the first slot of the PID.
int32_t OnPMT(void* context, const TS_SectionEvent* event) {
    auto* c = static_cast<SectionContext*>(context);
    DumpState* s = c->state;
    TS_Data* d = s->data;
    const uint16_t pid = s->packet->header.PID;
    const uint16_t number = static_cast<uint16_t>((event->section->buffer[3] << 8) | event->section->buffer[4]);
    uint32_t slot = c->slot;
    for (uint32_t k = 0; k < s->order_count; ++k) {
        const uint16_t other = s->order[k];
        if (d->lu16PMTSlotPID[other] == pid && d->lu16PMTSlotProgram[other] == number) {
            slot = other;
            break;
        }
    }
    TS_PMT* pmt = &d->ltPMT[slot];
    if (TS_PMT_FromPreSection(pmt, event->section, pid) != 0) {
        ++ts_detail::g_tDamage.damaged_sections;
        s->slot_ca_pid[slot] = TS_NO_PID;
        return 0;
    }
    if (pmt->capacity_reached) ts_detail::NoteCapacity("PMT", pid, ts_detail::kPMTLimit);
    uint16_t ca_pid = TS_NO_PID;
    TS_GetCAPIDFromPMT(&ca_pid, pmt);
    s->slot_ca_pid[slot] = ca_pid;
    if (s->flags & TS_PRINT_PMT) {
        PrintSectionLead(s);
        TS_PMT_Print(pmt);
    }
    return 0;
}

int32_t OnPrivate(void* context, const TS_SectionEvent* event) {
    DumpState* s = static_cast<SectionContext*>(context)->state;
    TS_Section_PrivateFromPreSection(&s->data->tPrivateSection, event->section);
    PrintSectionLead(s);
    TS_Section_PrintPrivate(&s->data->tPrivateSection);
    return 0;
}

int32_t OnEMM(void* context, const TS_SectionEvent* event) {
    DumpState* s = static_cast<SectionContext*>(context)->state;
    TS_Section_PrivateFromPreSection(&s->data->tEMMSection, event->section);
    PrintSectionLead(s);
    TS_Section_PrintEMM(&s->data->tEMMSection);
    return 0;
}

void RecordPID(DumpState* s, uint16_t pid) {
    uint8_t& byte = s->listed[pid / 8];
    const uint8_t bit = static_cast<uint8_t>(1u << (pid % 8));
    if (byte & bit) return;
    TS_Data* d = s->data;
    // A full list takes no more PIDs.
    if (d->u16PIDCount >= TS_MAX_PIDS) return;
    d->lu16PIDList[d->u16PIDCount++] = pid;
    byte |= bit;
}

void FeedSections(DumpState* s, TS_PreSection* pre, TS_SectionKind kind,
                  TS_SectionHandler handler, void* context) {
    const ts_detail::ScanPacket& p = *s->packet;
    TS_Packet_FeedSections(pre, kind, &p.header, p.unit, p.unit_size, nullptr, handler, context);
}

// Inlined into the scan: most packets take only its first tests.
__attribute__((always_inline)) inline int32_t HandlePacket(DumpState* s, const ts_detail::ScanPacket& p) {
    if (p.index % kOutputCheckInterval == 0 && OutputFailed()) return kStopOutputFailed;

    TS_Data* d = s->data;
    const uint16_t pid = p.header.PID;
    const uint32_t flags = s->flags;
    s->packet = &p;
    s->separator_pending = true;
    SectionContext context{s, 0};

    if (flags & TS_PRINT_PID_LIST) RecordPID(s, pid);

    // The packet lines show the header only (the adaptation field is never printed), so the
    // packet is not decoded any further than the scan already did.
    if (flags & TS_PRINT_PACKET) {
        // The separator (always first here) and the TS_Packet_Print line.
        g_tPacketLines.Add(p.header);
        s->separator_pending = false;
    }

    if (pid == TS_PID_PAT) FeedSections(s, &d->tPATPreSection, TS_SECTION_PAT, OnPAT, &context);
    if (pid == TS_PID_CAT) FeedSections(s, &d->tCATPreSection, TS_SECTION_CAT, OnCAT, &context);

    if (!d->tPAT.decoded) return 0;

    // PMTs: the sections of a PMT PID are assembled once, in its first slot.
    if (s->pmt_pid[pid >> 3] >> (pid & 7) & 1) {
        for (uint32_t k = 0; k < s->order_count; ++k) {
            const uint16_t slot = s->order[k];
            if (d->lu16PMTSlotPID[slot] != pid) continue;
            SectionContext pmt_context{s, slot};
            FeedSections(s, &d->ltPMTPreSection[slot], TS_SECTION_PMT, OnPMT, &pmt_context);
            break;
        }
    }

    if (pid == TS_PID_PAT) return 0;

    // PCRs: only packets that carry one, whatever else comes on the PCR_PID.
    if (flags & TS_PRINT_PCR) {
        for (uint32_t k = 0; k < s->order_count; ++k) {
            const uint16_t i = s->order[k];
            if (!d->ltPMT[i].decoded || d->ltPMT[i].PCR_PID != pid) continue;
            if (TS_Packet_HasPCR(p.bytes)) {
                TS_PCR_Import(&d->ltPCR[i], p.bytes + 5);
                PrintSectionLead(s);
                TS_PCR_Print(&d->ltPCR[i]);
            }
            break;
        }
    }

    // Sections on the CA_PIDs of the PMTs. All programs share one assembly, so a packet
    // goes to it once, however many programs name its PID.
    if (flags & TS_PRINT_PRIVATE) {
        for (uint32_t k = 0; k < s->order_count; ++k) {
            const uint16_t i = s->order[k];
            if (!d->ltPMT[i].decoded || s->slot_ca_pid[i] != pid) continue;
            FeedSections(s, &d->tPrivatePreSection, TS_SECTION_PRIVATE, OnPrivate, &context);
            break;
        }
    }

    // EMM sections on the CA_PID of the CAT.
    if ((flags & TS_PRINT_EMM) && d->tCAT.decoded && s->emm_pid == pid)
        FeedSections(s, &d->tEMMPreSection, TS_SECTION_PRIVATE, OnEMM, &context);

    if (flags & TS_PRINT_STREAM) {
        for (uint32_t k = 0; k < s->order_count; ++k) {
            const uint16_t i = s->order[k];
            if (!d->ltPMT[i].decoded || TS_IsStreamPIDOfPMT(&d->ltPMT[i], pid) != 1) continue;
            PrintSeparator(s);
            TS_Packet packet;
            static_cast<TS_Header&>(packet) = p.header;
            TS_Packet_Print(&packet);
            break;
        }
    }
    return 0;
}

}  // namespace

int32_t TS_Print(const char* fileName, uint32_t flags) {
    if (fileName == nullptr) return -1;
    TS_Initialise(&g_tData);

    ts_detail::InputFile input;
    if (ts_detail::OpenInput(&input, fileName) != 0) return -2;

    static DumpState state;
    state = DumpState{};
    ts_detail::NoteFailure("", 0);
    g_tPacketLines.used = 0;
    g_tPacketLines.failed = false;
    g_tPacketLines.used = 0;
    state.flags = flags;
    state.data = &g_tData;
    for (uint16_t& ca_pid : state.slot_ca_pid) ca_pid = TS_NO_PID;
    for (uint16_t& pid : g_tData.lu16PMTSlotPID) pid = TS_NO_PID;
    TS_TableSections_Initialise(&state.pat_sections);
    TS_TableSections_Initialise(&state.cat_sections);

    const int32_t stopped = ts_detail::ScanInput(
        &g_tData, input, fileName,
        [](const ts_detail::ScanPacket& p) __attribute__((always_inline)) { return HandlePacket(&state, p); });
    ts_detail::CloseInput(&input);
    g_tPacketLines.Flush();
    if (stopped == kStopOutputFailed) return TS_PRINT_OUTPUT_FAILED;
    if (stopped == TS_READ_FAILED) return TS_READ_FAILED;

    if (flags & TS_PRINT_PID_LIST) {
        std::fputs(kSeparator, stdout);
        std::puts("PID List:");
        for (uint32_t i = 0; i < g_tData.u16PIDCount && i < TS_MAX_PIDS; ++i)
            std::printf("  0x%04X,\n", g_tData.lu16PIDList[i]);
    }
    return OutputFailed() ? TS_PRINT_OUTPUT_FAILED : 0;
}
