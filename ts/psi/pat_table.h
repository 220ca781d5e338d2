// The PAT as a driver keeps it: assembled from its sections and decoded once complete. A
// section that repeats the last intact one on PID 0 (TS_SectionEvent::repeat) changes
// nothing: what the table and its decoding gave last time still holds.
#pragma once

#include "core/scan.h"
#include "psi/psi.h"

namespace ts_detail {

struct PATTable {
    TS_TableSections sections;
    int32_t added = 0;     // what the last section gave the table (TS_TableSections_Add)
    bool decoded = false;  // whether the PAT decoded from the table then

    void Initialise() {
        TS_TableSections_Initialise(&sections);
        added = 0;
        decoded = false;
    }

    // What the section gives the table: TS_TableSections_Add's result, a refused section
    // counted as damage.
    int32_t Add(const TS_SectionEvent* e) {
        added = e->repeat ? added : TS_TableSections_Add(&sections, e->section);
        if (added < 0) ++g_tDamage.damaged_sections;
        return added;
    }

    // Once Add gave a complete table: its PAT into `pat`; false when it does not decode
    // (counted as damage). A table too large for the record is noted.
    bool Decode(const TS_SectionEvent* e, TS_PAT* pat) {
        if (!(e->repeat && decoded)) {
            decoded = TS_PAT_FromTableSections(pat, &sections) == 0;
            if (!decoded) {
                ++g_tDamage.damaged_sections;
                return false;
            }
        }
        if (pat->capacity_reached) NoteCapacity("PAT", TS_PID_PAT, kProgramsLimit);
        return true;
    }
};

}  // namespace ts_detail
