// Table printers: PAT, CAT, PMT, PCR, private and EMM sections as blocks of text lines.
#include <cinttypes>
#include <cstdio>

#include "ts.h"

namespace {

uint32_t Clamp(uint32_t count, uint32_t capacity) { return count < capacity ? count : capacity; }

// Data bytes of a private section: private_section_length less the five header bytes after
// the length field and the four CRC bytes in the long form, all of it in the short form;
// never below 0 nor beyond what private_data_byte holds.
uint32_t SectionDataLength(const TS_Section* s) {
    int32_t n = s->private_section_length;
    if (s->section_syntax_indicator) n -= 9;
    if (n < 0) n = 0;
    return Clamp(static_cast<uint32_t>(n), TS_SECTION_CAPACITY);
}

// The header line of a private or EMM section (tag "[Private]" or "[EMM]"), long or short
// form, followed by the two-space indent of the data line.
void PrintSectionHeader(const char* tag, const TS_Section* s) {
    const char* label = ts_detail::TableIdLabel(s->table_id);
    if (s->section_syntax_indicator)
        std::printf("%s TI:0x%02X(%s) SSI:%d PI:%d R1:%d PSL:%d TE:%d R2:%d VN:%d CNI:%d SN:%d "
                    "LSN:%d\n  ",
                    tag, s->table_id, label, s->section_syntax_indicator, s->private_indicator,
                    s->reserved_1, s->private_section_length, s->table_id_extension,
                    s->reserved_2, s->version_number, s->current_next_indicator,
                    s->section_number, s->last_section_number);
    else
        std::printf("%s TI:0x%02X(%s) SSI:%d PI:%d R1:%d PSL:%d\n  ", tag, s->table_id, label,
                    s->section_syntax_indicator, s->private_indicator, s->reserved_1,
                    s->private_section_length);
}

void PrintSectionCRC(const TS_Section* s) {
    if (s->section_syntax_indicator) std::printf("  CRC32:0x%08X\n", s->CRC_32);
}

}  // namespace

int32_t TS_PAT_Print(const TS_PAT* pat) {
    if (pat == nullptr) return -1;
    std::printf("[PAT] TI:0x%02X(%s) SSI:%d R1:%d SL:%d TSI:%d R2:%d VN:%d CNI:%d SN:%d LSN:%d\n",
                pat->table_id, ts_detail::TableIdLabel(pat->table_id),
                pat->section_syntax_indicator, pat->reserved_1, pat->section_length,
                pat->transport_stream_id, pat->reserved_2, pat->version_number,
                pat->current_next_indicator, pat->section_number, pat->last_section_number);
    std::printf("  Program:%d\n", pat->program_count);
    const uint32_t count = Clamp(pat->program_count, TS_MAX_PROGRAMS);
    for (uint32_t i = 0; i < count; ++i) {
        const TS_ProgramData& p = pat->programs[i];
        std::printf(p.program_number == 0 ? "  PN:%d R3:%d NETPID:0x%04X\n"
                                          : "  PN:%d R3:%d PMTPID:0x%04X\n",
                    p.program_number, p.reserved, p.PID);
    }
    std::printf("  CRC32:0x%08X\n", pat->CRC_32);
    return 0;
}

int32_t TS_CAT_Print(const TS_CAT* cat) {
    if (cat == nullptr) return -1;
    std::printf("[CAT] TI:0x%02X(%s) SSI:%d R1:%d SL:%d TSI:%d R2:%d VN:%d CNI:%d SN:%d LSN:%d\n",
                cat->table_id, ts_detail::TableIdLabel(cat->table_id),
                cat->section_syntax_indicator, static_cast<int32_t>(cat->reserved_1),
                cat->section_length, cat->transport_stream_id, cat->reserved_2,
                cat->version_number, cat->current_next_indicator, cat->section_number,
                cat->last_section_number);
    std::printf("  DSC:%d\n", cat->descriptor_count);
    const uint32_t count = Clamp(cat->descriptor_count, TS_MAX_DESCRIPTORS);
    for (uint32_t i = 0; i < count; ++i) TS_Descriptor_Print(&cat->descriptors[i]);
    std::printf("\n  CRC32:0x%08X\n", cat->CRC_32);
    return 0;
}

int32_t TS_PMT_Print(const TS_PMT* pmt) {
    if (pmt == nullptr) return -1;
    std::printf("[PMT] TI:0x%02X(%s) SSI:%d R1:%d SLEN:%d TSI:%d R2:%d VER:%d CNI:%d SN:%d "
                "LSN:%d PCRPID:0x%04X PIL:%d\n",
                pmt->table_id, ts_detail::TableIdLabel(pmt->table_id),
                pmt->section_syntax_indicator, pmt->reserved_1, pmt->section_length,
                pmt->program_number, pmt->reserved_2, pmt->version_number,
                pmt->current_next_indicator, pmt->section_number, pmt->last_section_number,
                pmt->PCR_PID, pmt->program_info_length);
    std::printf("  DSC:%d\n", pmt->descriptor_count);
    const uint32_t descriptors = Clamp(pmt->descriptor_count, TS_MAX_DESCRIPTORS);
    for (uint32_t i = 0; i < descriptors; ++i) TS_Descriptor_Print(&pmt->descriptors[i]);
    const uint32_t streams = Clamp(pmt->stream_count, TS_MAX_STREAMS);
    for (uint32_t i = 0; i < streams; ++i) {
        const TS_StreamInfo& s = pmt->streams[i];
        std::printf("  ST:0x%02X(%s) EPID:0x%04X ESIL:%d DSC:%d\n", s.stream_type,
                    ts_detail::StreamTypeLabel(s.stream_type), s.elementary_PID,
                    s.ES_info_length, s.descriptor_count);
        std::printf("  DSC:%d\n", s.descriptor_count);
        const uint32_t count = Clamp(s.descriptor_count, TS_MAX_DESCRIPTORS);
        for (uint32_t k = 0; k < count; ++k) TS_Descriptor_Print(&s.descriptors[k]);
    }
    std::printf("  CRC32:0x%08X\n", pmt->CRC_32);
    return 0;
}

int32_t TS_PCR_Print(const TS_PCR* pcr) {
    if (pcr == nullptr) return -1;
    // The base counts a 90 kHz clock; the extension plays no part in the time shown.
    const uint64_t t = pcr->program_clock_reference_base;
    uint64_t r = t;
    const uint64_t hours = r / 324000000u;
    r -= hours * 324000000u;
    const uint64_t minutes = r / 5400000u;
    r -= minutes * 5400000u;
    const uint64_t seconds = r / 90000u;
    r -= seconds * 90000u;
    const uint64_t milliseconds = r / 90u;
    std::printf("[PCR] TI:0x%02X(%s) PB:%lld(%02d:%02d:%02d.%03d) R:%d PE:%d\n", pcr->table_id,
                ts_detail::TableIdLabel(pcr->table_id), static_cast<long long>(t),
                static_cast<int32_t>(hours), static_cast<int32_t>(minutes),
                static_cast<int32_t>(seconds), static_cast<int32_t>(milliseconds),
                pcr->reserved, static_cast<int32_t>(pcr->program_clock_reference_extension));
    return 0;
}

int32_t TS_Section_PrintPrivate(const TS_Section* section) {
    if (section == nullptr) return -1;
    PrintSectionHeader("[Private]", section);
    ts_detail::PrintByteList(section->private_data_byte, SectionDataLength(section));
    PrintSectionCRC(section);
    return 0;
}

int32_t TS_Section_PrintEMM(const TS_Section* section) {
    if (section == nullptr) return -1;
    PrintSectionHeader("[EMM]", section);
    // The card identifier: the first six data bytes as one 48-bit big-endian number.
    uint64_t card = 0;
    for (uint32_t i = 0; i < 6; ++i) card = (card << 8) | section->private_data_byte[i];
    std::printf("CardID:%lld(0x%llx)\n  ", static_cast<long long>(card),
                static_cast<unsigned long long>(card));
    const uint32_t n = SectionDataLength(section);
    ts_detail::PrintByteList(section->private_data_byte + 6, n > 6 ? n - 6 : 0);
    PrintSectionCRC(section);
    return 0;
}
