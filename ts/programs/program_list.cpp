// The program list: the programs and PMT PIDs that the last intact PAT of a file announces.
#include "core/output.h"
#include "core/scan.h"
#include "psi/state.h"
#include "programs/program_split.h"

namespace {

struct ListScan {
    TS_ProgramList* list;
    TS_TableSections sections;
};
ListScan s_tList;

int32_t OnPATSection(void* context, const TS_SectionEvent* event) {
    auto* scan = static_cast<ListScan*>(context);
    const int32_t added = TS_TableSections_Add(&scan->sections, event->section);
    if (added < 0) ++ts_detail::g_tDamage.damaged_sections;
    if (added <= 0) return 0;
    TS_PAT& pat = g_tSimpleData.tPAT;
    if (TS_PAT_FromTableSections(&pat, &scan->sections) != 0) {
        ++ts_detail::g_tDamage.damaged_sections;
        return 0;
    }
    if (pat.capacity_reached) ts_detail::NoteCapacity("PAT", TS_PID_PAT, ts_detail::kProgramsLimit);
    TS_ProgramList* list = scan->list;
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
    s_tList.list = list;
    TS_TableSections_Initialise(&s_tList.sections);
    // The list is rebuilt at every intact PAT only, so a file without one leaves the caller's
    // record as it was.
    int32_t r = ts_detail::ScanInput(&g_tSimpleData, input, fileName, [](const ts_detail::ScanPacket& p) -> int32_t {
        if (p.header.PID != TS_PID_PAT) return 0;
        return TS_Packet_FeedSections(&g_tSimpleData.tPATPreSection, TS_SECTION_PAT, &p.header, p.unit,
                                      p.unit_size, nullptr, &OnPATSection, &s_tList);
    });
    ts_detail::CloseInput(&input);
    return r;
}
