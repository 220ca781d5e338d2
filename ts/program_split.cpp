// The splits by program: every program of a file into a file of its own, each with a reduced
// PAT, and one program, chosen by its PMT PID, into a named file.
//
// Both follow only intact PAT and PMT sections (their CRC-32 checks). A PMT section is
// written whole, every packet that carried it, and every other packet at most once into
// each output: a PID routing table says which outputs want a packet, rebuilt whenever a
// PAT or PMT section changes what is followed.
#include <bit>
#include <cstdio>
#include <cstring>

#include "output.h"
#include "pmt_pids.h"
#include "scan.h"
#include "state.h"
#include "ts.h"

TS_PNSplitData g_tPNSplitData;

namespace {

using ts_detail::ScanPacket;

constexpr uint32_t kPIDCount = 8192;
constexpr uint8_t kTableIdPAT = 0x00;
constexpr uint8_t kTableIdPMT = 0x02;
constexpr int32_t kStop = 1;  // the scan ends early, without failure

// Outputs that want the packets of each PID, one bit per output slot: the stream PIDs that
// decoded PMTs name, and the PMT PIDs that the current PAT lists.
uint16_t s_lu16StreamRoute[kPIDCount];
uint16_t s_lu16PMTRoute[kPIDCount];
// The packets of each output's PMT section in progress, written whole when it checks.
TS_SectionCarriers s_ltCarriers[TS_MAX_PROGRAMS];
// Handler contexts naming a slot.
constexpr uint8_t kSlot[TS_MAX_PROGRAMS] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Outputs that received the current packet as part of a PMT section.
uint16_t s_u16Written;
const ScanPacket* s_pPacket;
ts_detail::InputFile s_tInput;
TS_OutputOpenedHandler s_pOpened;
void* s_pOpenedContext;

uint16_t ProgramNumberOf(const TS_PreSection* pmt) {
    return static_cast<uint16_t>((pmt->buffer[3] << 8) | pmt->buffer[4]);
}

// Routes the PIDs a decoded PMT names to `bit`.
void RoutePMT(const TS_PMT& pmt, uint16_t bit) {
    ts_detail::ForEachPIDOfPMT(pmt, [bit](uint16_t pid) { s_lu16StreamRoute[pid] |= bit; });
}

// Writes the units of a completed section into `slot`: the packets that carried it, in order.
int32_t WriteCarriers(uint32_t slot, const TS_SectionEvent* event) {
    for (uint16_t i = 0; i < event->unit_count; ++i) {
        int32_t r = ts_detail::WriteOutput(slot, event->units[i], event->unit_size);
        if (r != 0) return r;
    }
    s_u16Written = static_cast<uint16_t>(s_u16Written | (1u << slot));
    return 0;
}

int32_t OpenSlot(uint32_t slot, const char* name, const char* message = nullptr) {
    int32_t r = ts_detail::OpenOutput(slot, name, &s_tInput, -3, message);
    if (r != 0) return r;
    if (s_pOpened) s_pOpened(s_pOpenedContext, name);
    return 0;
}

// Ends a driver: every output completed (or, after a failure, removed), then the input
// closed. The first failure is the result.
int32_t Finish(int32_t result) {
    int32_t closed = ts_detail::FinishOutputs(result);
    ts_detail::CloseInput(&s_tInput);
    if (result == kStop) result = 0;
    return result != 0 ? result : closed;
}

// ---------------------------------------------------------------------------------------------
// Split to files
// ---------------------------------------------------------------------------------------------

const char* s_pFileName;
bool s_bWarnedFull;
uint16_t s_u16Listed;  // entries the current PAT lists

int32_t FindEntry(uint16_t program_number, uint16_t duplicate) {
    for (uint32_t e = 0; e < g_tPNSplitData.u16Count; ++e) {
        const TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
        if (entry.u16ProgramNumber == program_number && entry.u16Duplicate == duplicate)
            return static_cast<int32_t>(e);
    }
    return -1;
}

// Forgets an entry's PMT: assembly, carriers and decoded record.
void ResetPMT(uint32_t e) {
    TS_PreSection_Initialise(&g_tData.ltPMTPreSection[e]);
    s_ltCarriers[e].count = 0;
    g_tData.ltPMT[e].decoded = 0;
}

void RebuildFileRoutes() {
    std::memset(s_lu16StreamRoute, 0, sizeof s_lu16StreamRoute);
    std::memset(s_lu16PMTRoute, 0, sizeof s_lu16PMTRoute);
    for (uint32_t e = 0; e < g_tPNSplitData.u16Count; ++e) {
        if (!(s_u16Listed & (1u << e))) continue;
        const uint16_t bit = static_cast<uint16_t>(1u << e);
        s_lu16PMTRoute[g_tPNSplitData.ltEntry[e].u16PMTPID & 0x1FFF] |= bit;
        if (g_tData.ltPMT[e].decoded) RoutePMT(g_tData.ltPMT[e], bit);
    }
}

// The reduced PAT of one program: the input's network entry, when it has one, then the
// program's own entry; its header is the input packet's, as a packet that starts the section
// and carries no adaptation field. M2TS units keep the input's extra header.
int32_t WriteReducedPAT(uint32_t slot, const TS_PAT& pat, const TS_ProgramData& own,
                        const TS_ProgramData* network) {
    static TS_PAT s_tReduced;
    static uint8_t s_lu8Unit[TS_M2TS_PACKET_SIZE];
    s_tReduced = pat;
    uint16_t n = 0;
    if (network) s_tReduced.programs[n++] = *network;
    s_tReduced.programs[n++] = own;
    s_tReduced.program_count = n;
    s_tReduced.section_length = static_cast<uint16_t>(9 + 4 * n);

    TS_Header header = s_pPacket->header;
    header.transport_error_indicator = 0;
    header.payload_unit_start_indicator = 1;
    header.transport_scrambling_control = 0;
    header.adaptation_field_control = 1;
    const uint32_t lead = s_pPacket->unit_size - TS_PACKET_SIZE;
    std::memcpy(s_lu8Unit, s_pPacket->unit, lead);
    TS_PAT_ToPacket(s_lu8Unit + lead, &header, &s_tReduced);
    return ts_detail::WriteOutput(slot, s_lu8Unit, s_pPacket->unit_size);
}

int32_t OpenEntryFile(uint32_t e) {
    TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
    int n = std::snprintf(g_strString2, TS_NAME_CAPACITY, "%s_%d_%d_%d.ts", g_strString1,
                          entry.u16ProgramNumber, entry.u16Duplicate, entry.u16Generation);
    if (n < 0 || static_cast<size_t>(n) >= TS_NAME_CAPACITY) {
        std::fprintf(stderr, "Error: Failed open %s.\n", g_strString2);
        return -3;
    }
    int32_t r = OpenSlot(e, g_strString2);
    if (r != 0) return r;
    entry.nFile = static_cast<int32_t>(e);
    return 0;
}

int32_t OnFilePAT(void*, const TS_SectionEvent* event) {
    if (!event->intact || event->section->buffer[0] != kTableIdPAT) return 0;
    TS_PAT& pat = g_tData.tPAT;
    TS_PAT_FromPreSection(&pat, event->section);
    const uint32_t count = pat.program_count < TS_MAX_PROGRAMS ? pat.program_count : TS_MAX_PROGRAMS;
    const TS_ProgramData* network = nullptr;
    for (uint32_t i = 0; i < count && !network; ++i)
        if (pat.programs[i].program_number == 0) network = &pat.programs[i];

    // Each program listed: its entry (made at its first appearance), its file, its reduced PAT.
    s_u16Listed = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const TS_ProgramData& program = pat.programs[i];
        if (program.program_number == 0) continue;
        uint16_t duplicate = 0;
        for (uint32_t j = 0; j < i; ++j)
            if (pat.programs[j].program_number == program.program_number) ++duplicate;
        int32_t found = FindEntry(program.program_number, duplicate);
        if (found < 0) {
            if (g_tPNSplitData.u16Count == TS_MAX_PROGRAMS) {
                if (!s_bWarnedFull)
                    std::fprintf(stderr,
                                 "Warning: more than %u programs in %s; program %u and any "
                                 "later new program are not split.\n",
                                 TS_MAX_PROGRAMS, s_pFileName, program.program_number);
                s_bWarnedFull = true;
                continue;
            }
            found = g_tPNSplitData.u16Count++;
            TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[found];
            entry.u16ProgramNumber = program.program_number;
            entry.u16PMTPID = program.PID;
            entry.u16Duplicate = duplicate;
            entry.u16Generation = 0;
            entry.nFile = -1;
            ResetPMT(static_cast<uint32_t>(found));
        }
        const uint32_t e = static_cast<uint32_t>(found);
        TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
        s_u16Listed = static_cast<uint16_t>(s_u16Listed | (1u << e));
        if (entry.u16PMTPID != program.PID) {
            // The program's PMT moved: follow it on its new PID, keeping the file.
            entry.u16PMTPID = program.PID;
            TS_PreSection_Initialise(&g_tData.ltPMTPreSection[e]);
            s_ltCarriers[e].count = 0;
        }
        if (entry.nFile < 0) {
            int32_t r = OpenEntryFile(e);
            if (r != 0) return r;
        }
        int32_t r = WriteReducedPAT(e, pat, program, network);
        if (r != 0) return r;
    }

    // Programs gone: file closed, next generation; a return starts afresh with a new file.
    for (uint32_t e = 0; e < g_tPNSplitData.u16Count; ++e) {
        if (s_u16Listed & (1u << e)) continue;
        TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
        ++entry.u16Generation;
        ResetPMT(e);
        if (entry.nFile >= 0) {
            entry.nFile = -1;
            int32_t r = ts_detail::CloseOutput(e);
            if (r != 0) return r;
        }
    }
    RebuildFileRoutes();
    return 0;
}

int32_t OnFilePMT(void* context, const TS_SectionEvent* event) {
    const uint32_t e = *static_cast<const uint8_t*>(context);
    if (!event->intact || event->section->buffer[0] != kTableIdPMT) return 0;
    const TS_PNSplitEntry& entry = g_tPNSplitData.ltEntry[e];
    // Programs may share a PMT PID; a section that names another listed program of this PID
    // is that program's.
    const uint16_t number = ProgramNumberOf(event->section);
    if (number != entry.u16ProgramNumber) {
        for (uint32_t o = 0; o < g_tPNSplitData.u16Count; ++o) {
            const TS_PNSplitEntry& other = g_tPNSplitData.ltEntry[o];
            if ((s_u16Listed & (1u << o)) && other.u16PMTPID == entry.u16PMTPID &&
                other.u16ProgramNumber == number)
                return 0;
        }
    }
    TS_PMT_FromPreSection(&g_tData.ltPMT[e], event->section, entry.u16PMTPID);
    RebuildFileRoutes();
    return WriteCarriers(e, event);
}

int32_t HandleFilePacket(const ScanPacket& p) {
    s_pPacket = &p;
    const uint16_t pid = p.header.PID;
    if (pid == TS_PID_PAT)
        return TS_Packet_FeedSections(&g_tData.tPATPreSection, TS_SECTION_PAT, &p.header, p.unit,
                                      p.unit_size, nullptr, &OnFilePAT, nullptr);
    s_u16Written = 0;
    for (uint32_t mask = s_lu16PMTRoute[pid]; mask; mask &= mask - 1) {
        const uint32_t e = static_cast<uint32_t>(std::countr_zero(mask));
        int32_t r = TS_Packet_FeedSections(&g_tData.ltPMTPreSection[e], TS_SECTION_PMT, &p.header,
                                           p.unit, p.unit_size, &s_ltCarriers[e], &OnFilePMT,
                                           const_cast<uint8_t*>(&kSlot[e]));
        if (r != 0) return r;
    }
    for (uint32_t mask = s_lu16StreamRoute[pid] & ~uint32_t{s_u16Written}; mask; mask &= mask - 1) {
        int32_t r = ts_detail::WriteOutput(static_cast<uint32_t>(std::countr_zero(mask)), p.unit,
                                           p.unit_size);
        if (r != 0) return r;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Split of one program
// ---------------------------------------------------------------------------------------------

const char* s_pOutputName;
uint16_t s_u16PMTPID;
uint16_t s_u16ProgramNumber;  // of the first program the current PAT lists on the PMT PID
bool s_bOpen;

int32_t OnStreamPAT(void*, const TS_SectionEvent* event) {
    if (!event->intact || event->section->buffer[0] != kTableIdPAT) return 0;
    TS_PAT& pat = g_tSimpleData.tPAT;
    TS_PAT_FromPreSection(&pat, event->section);
    const uint32_t count = pat.program_count < TS_MAX_PROGRAMS ? pat.program_count : TS_MAX_PROGRAMS;
    for (uint32_t i = 0; i < count; ++i) {
        if (pat.programs[i].program_number == 0 || pat.programs[i].PID != s_u16PMTPID) continue;
        s_u16ProgramNumber = pat.programs[i].program_number;
        if (!s_bOpen) {
            int32_t r = OpenSlot(0, s_pOutputName, "error - failed on _open(%s) [dest]\n");
            if (r != 0) return r;
            s_bOpen = true;
        }
        return 0;
    }
    return kStop;  // the program is not (or no longer) listed
}

int32_t OnStreamPMT(void*, const TS_SectionEvent* event) {
    if (!event->intact || event->section->buffer[0] != kTableIdPMT) return 0;
    const uint16_t number = ProgramNumberOf(event->section);
    if (number != s_u16ProgramNumber) {
        const TS_PAT& pat = g_tSimpleData.tPAT;
        const uint32_t count =
            pat.program_count < TS_MAX_PROGRAMS ? pat.program_count : TS_MAX_PROGRAMS;
        for (uint32_t i = 0; i < count; ++i)
            if (pat.programs[i].PID == s_u16PMTPID && pat.programs[i].program_number == number)
                return 0;  // another program's PMT on the same PID
    }
    TS_PMT_FromPreSection(&g_tSimpleData.tPMT, event->section, s_u16PMTPID);
    std::memset(s_lu16StreamRoute, 0, sizeof s_lu16StreamRoute);
    RoutePMT(g_tSimpleData.tPMT, 1);
    return WriteCarriers(0, event);
}

int32_t HandleStreamPacket(const ScanPacket& p) {
    s_pPacket = &p;
    const uint16_t pid = p.header.PID;
    if (pid == TS_PID_PAT)
        return TS_Packet_FeedSections(&g_tSimpleData.tPATPreSection, TS_SECTION_PAT, &p.header,
                                      p.unit, p.unit_size, nullptr, &OnStreamPAT, nullptr);
    if (!s_bOpen) return 0;
    s_u16Written = 0;
    if (pid == s_u16PMTPID) {
        int32_t r = TS_Packet_FeedSections(&g_tSimpleData.tPMTPreSection, TS_SECTION_PMT,
                                           &p.header, p.unit, p.unit_size, &s_ltCarriers[0],
                                           &OnStreamPMT, nullptr);
        if (r != 0) return r;
    }
    if (s_lu16StreamRoute[pid] && !s_u16Written) return ts_detail::WriteOutput(0, p.unit, p.unit_size);
    return 0;
}

}  // namespace

int32_t TS_ProgramSplitFile(const char* fileName, TS_OutputOpenedHandler opened, void* context) {
    if (fileName == nullptr) return -1;
    TS_Initialise(&g_tData);
    std::memset(&g_tPNSplitData, 0, sizeof g_tPNSplitData);
    for (TS_PNSplitEntry& entry : g_tPNSplitData.ltEntry) entry.nFile = -1;
    std::memset(s_lu16StreamRoute, 0, sizeof s_lu16StreamRoute);
    std::memset(s_lu16PMTRoute, 0, sizeof s_lu16PMTRoute);
    s_pOpened = opened;
    s_pOpenedContext = context;
    s_pFileName = fileName;
    s_bWarnedFull = false;
    s_u16Listed = 0;
    if (GetBaseFileName(g_strString1, fileName) != 0) {
        std::fprintf(stderr, "Error: Failed open %s.\n", fileName);
        return -2;
    }
    if (ts_detail::OpenInput(&s_tInput, fileName) != 0) return -2;
    int32_t r = ts_detail::ScanFile(&g_tData, s_tInput.fd, HandleFilePacket);
    for (TS_PNSplitEntry& entry : g_tPNSplitData.ltEntry) entry.nFile = -1;
    return Finish(r);
}

int32_t TS_ProgramSplitStream(const char* outputName, const char* fileName, uint16_t pid,
                              TS_OutputOpenedHandler opened, void* context) {
    if (outputName == nullptr || fileName == nullptr) return -1;
    TS_InitialiseSimple(&g_tSimpleData);
    std::memset(s_lu16StreamRoute, 0, sizeof s_lu16StreamRoute);
    s_ltCarriers[0].count = 0;
    s_pOpened = opened;
    s_pOpenedContext = context;
    s_pOutputName = outputName;
    s_u16PMTPID = pid;
    s_u16ProgramNumber = 0;
    s_bOpen = false;
    if (ts_detail::OpenInput(&s_tInput, fileName) != 0) return -2;
    return Finish(ts_detail::ScanFile(&g_tSimpleData, s_tInput.fd, HandleStreamPacket));
}
