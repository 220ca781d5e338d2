// A PAT or CAT carried in several sections (ISO/IEC 13818-1 2.4.4.3, 2.4.4.6): collected by
// version until every section is in, then decoded as one table.
#include <cstring>

#include "psi/psi.h"
#include "psi/section_view.h"
#include "psi/tables.h"

using namespace ts_detail;

int32_t TS_TableSections_Initialise(TS_TableSections* table) {
    if (table == nullptr) return -1;
    table->collecting = 0;
    table->version_number = 0;
    table->last_section_number = 0;
    table->held = 0;
    return 0;
}

int32_t TS_TableSections_Add(TS_TableSections* table, const TS_PreSection* pre) {
    if (table == nullptr || pre == nullptr) return -1;
    const uint32_t n = SectionReader(pre).size;
    if (n < 12) return TS_TABLE_DAMAGED;
    const uint8_t* s = pre->buffer;
    const uint8_t version = (s[5] >> 1) & 0x1F;
    const uint8_t current_next = s[5] & 1;
    const uint8_t number = s[6];
    const uint8_t last = s[7];
    if (number > last || n > TS_TABLE_SECTION_CAPACITY) return TS_TABLE_DAMAGED;
    if (last >= TS_MAX_TABLE_SECTIONS) return TS_TABLE_DAMAGED;
    if (!current_next) return 0;  // announced, not yet applicable
    if (!table->collecting || version != table->version_number || last != table->last_section_number) {
        // A new version (or a new layout of sections): collect it afresh.
        table->collecting = 1;
        table->version_number = version;
        table->last_section_number = last;
        table->held = 0;
    }
    table->length[number] = static_cast<uint16_t>(n);
    std::memcpy(table->bytes[number], s, n);
    table->held = static_cast<uint16_t>(table->held | (1u << number));
    const uint32_t all = (1u << (last + 1u)) - 1u;
    return (table->held & all) == all ? 1 : 0;
}

int32_t TS_PAT_FromTableSections(TS_PAT* pat, const TS_TableSections* table) {
    if (pat == nullptr || table == nullptr) return -1;
    const uint32_t all = (1u << (table->last_section_number + 1u)) - 1u;
    if (!table->collecting || (table->held & all) != all) return TS_TABLE_DAMAGED;
    StartPAT(pat, table->bytes[0], table->length[0]);
    bool whole = true;
    for (uint32_t k = 0; k <= table->last_section_number; ++k)
        whole = AppendPrograms(pat, table->bytes[k], table->length[k]) && whole;
    const uint8_t* crc = table->bytes[0] + table->length[0] - 4;
    pat->CRC_32 = (uint32_t{crc[0]} << 24) | (uint32_t{crc[1]} << 16) | (uint32_t{crc[2]} << 8) | crc[3];
    pat->decoded = whole ? 1 : 0;
    return whole ? 0 : TS_TABLE_DAMAGED;
}

int32_t TS_CAT_FromTableSections(TS_CAT* cat, const TS_TableSections* table) {
    if (cat == nullptr || table == nullptr) return -1;
    const uint32_t all = (1u << (table->last_section_number + 1u)) - 1u;
    if (!table->collecting || (table->held & all) != all) return TS_TABLE_DAMAGED;
    StartCAT(cat, table->bytes[0], table->length[0]);
    bool whole = true;
    for (uint32_t k = 0; k <= table->last_section_number; ++k)
        whole = AppendCATDescriptors(cat, table->bytes[k], table->length[k]) && whole;
    const uint8_t* crc = table->bytes[0] + table->length[0] - 4;
    cat->CRC_32 = (uint32_t{crc[0]} << 24) | (uint32_t{crc[1]} << 16) | (uint32_t{crc[2]} << 8) | crc[3];
    cat->decoded = whole ? 1 : 0;
    return whole ? 0 : TS_TABLE_DAMAGED;
}
