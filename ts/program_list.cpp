// The program list: the programs and PMT PIDs that the last intact PAT section of a file
// announces.
#include "output.h"
#include "scan.h"
#include "state.h"
#include "ts.h"

namespace {

int32_t OnPATSection(void* context, const TS_SectionEvent* event) {
    if (!event->intact || event->section->buffer[0] != 0x00) return 0;  // table_id of a PAT
    TS_PAT& pat = g_tSimpleData.tPAT;
    TS_PAT_FromPreSection(&pat, event->section);
    auto* list = static_cast<TS_ProgramList*>(context);
    list->u16ProgramCount = 0;
    for (uint32_t i = 0; i < pat.program_count && i < TS_MAX_PROGRAMS; ++i) {
        if (pat.programs[i].program_number == 0) continue;  // the network entry
        list->lu16ProgramNumber[list->u16ProgramCount] = pat.programs[i].program_number;
        list->lu16PMTPID[list->u16ProgramCount] = pat.programs[i].PID;
        ++list->u16ProgramCount;
    }
    return 0;
}

}  // namespace

int32_t TS_GetProgramList(TS_ProgramList* list, const char* fileName) {
    if (list == nullptr || fileName == nullptr) return -1;
    TS_InitialiseSimple(&g_tSimpleData);
    ts_detail::InputFile input;
    if (ts_detail::OpenInput(&input, fileName) != 0) return -2;
    // The list is rebuilt at every intact PAT section only, so a file without one leaves the
    // caller's record as it was.
    ts_detail::ScanFile(&g_tSimpleData, input.fd, [list](const ts_detail::ScanPacket& p) -> int32_t {
        if (p.header.PID != TS_PID_PAT) return 0;
        return TS_Packet_FeedSections(&g_tSimpleData.tPATPreSection, TS_SECTION_PAT, &p.header,
                                      p.unit, p.unit_size, nullptr, &OnPATSection, list);
    });
    ts_detail::CloseInput(&input);
    return 0;
}
