// Table printers: PAT, CAT, PMT, PCR, private and EMM sections as blocks of text lines.
//
// Each block is built with ts_detail::Text; the comments give the printf format its lines
// follow. Loops stop at the capacity of the array they walk, whatever count the record holds.
#include <cstdio>

#include "dump/text.h"
#include "dump/dump.h"
#include "psi/codec.h"
#include "psi/names.h"

using ts_detail::Text;

namespace {

uint32_t Clamp(uint32_t count, uint32_t capacity) { return count < capacity ? count : capacity; }

uint32_t SectionDataLength(const TS_Section& s) { return TS_Section_DataLength(&s); }

// "%s TI:0x%02X(%s) SSI:%d PI:%d R1:%d PSL:%d TE:%d R2:%d VN:%d CNI:%d SN:%d LSN:%d\n  "
// for the long form, "%s TI:0x%02X(%s) SSI:%d PI:%d R1:%d PSL:%d\n  " for the short form,
// with `tag` "[Private]" or "[EMM]".
void AppendSectionHeader(Text& t, const char* tag, const TS_Section& s) {
    t.S(tag).S(" TI:0x").X(s.table_id, 2).S("(").S(ts_detail::TableIdLabel(s.table_id)).S(")");
    t.S(" SSI:").D(s.section_syntax_indicator).S(" PI:").D(s.private_indicator);
    t.S(" R1:").D(s.reserved_1).S(" PSL:").D(s.private_section_length);
    if (s.section_syntax_indicator) {
        t.S(" TE:").D(s.table_id_extension).S(" R2:").D(s.reserved_2);
        t.S(" VN:").D(s.version_number).S(" CNI:").D(s.current_next_indicator);
        t.S(" SN:").D(s.section_number).S(" LSN:").D(s.last_section_number);
    }
    t.S("\n  ");
}

// "  CRC32:0x%08X\n", long form only.
void AppendSectionCRC(Text& t, const TS_Section& s) {
    if (s.section_syntax_indicator) t.S("  CRC32:0x").X(s.CRC_32, 8).S("\n");
}

void AppendDescriptors(Text& t, const TS_Descriptor* descriptors, uint32_t count) {
    count = Clamp(count, TS_MAX_DESCRIPTORS);
    for (uint32_t i = 0; i < count; ++i) ts_detail::AppendDescriptor(t, descriptors[i]);
}

}  // namespace

int32_t TS_PAT_Print(const TS_PAT* pat) {
    if (pat == nullptr) return -1;
    // "[PAT] TI:0x%02X(%s) SSI:%d R1:%d SL:%d TSI:%d R2:%d VN:%d CNI:%d SN:%d LSN:%d\n"
    // "  Program:%d\n", per entry "  PN:%d R3:%d NETPID:0x%04X\n" (program_number 0) or
    // "  PN:%d R3:%d PMTPID:0x%04X\n", then "  CRC32:0x%08X\n".
    Text t;
    t.S("[PAT] TI:0x").X(pat->table_id, 2).S("(").S(ts_detail::TableIdLabel(pat->table_id)).S(")");
    t.S(" SSI:").D(pat->section_syntax_indicator).S(" R1:").D(pat->reserved_1);
    t.S(" SL:").D(pat->section_length).S(" TSI:").D(pat->transport_stream_id);
    t.S(" R2:").D(pat->reserved_2).S(" VN:").D(pat->version_number);
    t.S(" CNI:").D(pat->current_next_indicator).S(" SN:").D(pat->section_number);
    t.S(" LSN:").D(pat->last_section_number).S("\n");
    t.S("  Program:").D(pat->program_count).S("\n");
    const uint32_t count = Clamp(pat->program_count, TS_MAX_PROGRAMS);
    for (uint32_t i = 0; i < count; ++i) {
        const TS_ProgramData& p = pat->programs[i];
        t.S("  PN:").D(p.program_number).S(" R3:").D(p.reserved);
        t.S(p.program_number == 0 ? " NETPID:0x" : " PMTPID:0x").X(p.PID, 4).S("\n");
    }
    t.S("  CRC32:0x").X(pat->CRC_32, 8).S("\n");
    return 0;
}

int32_t TS_CAT_Print(const TS_CAT* cat) {
    if (cat == nullptr) return -1;
    // "[CAT] TI:0x%02X(%s) SSI:%d R1:%d SL:%d TSI:%d R2:%d VN:%d CNI:%d SN:%d LSN:%d\n",
    // "  DSC:%d\n", the descriptors, then "\n  CRC32:0x%08X\n".
    Text t;
    t.S("[CAT] TI:0x").X(cat->table_id, 2).S("(").S(ts_detail::TableIdLabel(cat->table_id)).S(")");
    t.S(" SSI:").D(cat->section_syntax_indicator).S(" R1:").D(static_cast<int32_t>(cat->reserved_1));
    t.S(" SL:").D(cat->section_length).S(" TSI:").D(cat->transport_stream_id);
    t.S(" R2:").D(cat->reserved_2).S(" VN:").D(cat->version_number);
    t.S(" CNI:").D(cat->current_next_indicator).S(" SN:").D(cat->section_number);
    t.S(" LSN:").D(cat->last_section_number).S("\n");
    t.S("  DSC:").D(cat->descriptor_count).S("\n");
    AppendDescriptors(t, cat->descriptors, cat->descriptor_count);
    t.S("\n  CRC32:0x").X(cat->CRC_32, 8).S("\n");
    return 0;
}

int32_t TS_PMT_Print(const TS_PMT* pmt) {
    if (pmt == nullptr) return -1;
    // "[PMT] TI:0x%02X(%s) SSI:%d R1:%d SLEN:%d TSI:%d R2:%d VER:%d CNI:%d SN:%d LSN:%d
    // PCRPID:0x%04X PIL:%d\n", "  DSC:%d\n" and the program descriptors; per stream
    // "  ST:0x%02X(%s) EPID:0x%04X ESIL:%d DSC:%d\n", "  CODEC:%s\n" when the PMT names
    // its codec (TS_StreamCodec), "  DSC:%d\n" and its descriptors; then "  CRC32:0x%08X\n".
    Text t;
    t.S("[PMT] TI:0x").X(pmt->table_id, 2).S("(").S(ts_detail::TableIdLabel(pmt->table_id)).S(")");
    t.S(" SSI:").D(pmt->section_syntax_indicator).S(" R1:").D(pmt->reserved_1);
    t.S(" SLEN:").D(pmt->section_length).S(" TSI:").D(pmt->program_number);
    t.S(" R2:").D(pmt->reserved_2).S(" VER:").D(pmt->version_number);
    t.S(" CNI:").D(pmt->current_next_indicator).S(" SN:").D(pmt->section_number);
    t.S(" LSN:").D(pmt->last_section_number).S(" PCRPID:0x").X(pmt->PCR_PID, 4);
    t.S(" PIL:").D(pmt->program_info_length).S("\n");
    t.S("  DSC:").D(pmt->descriptor_count).S("\n");
    AppendDescriptors(t, pmt->descriptors, pmt->descriptor_count);
    const uint32_t streams = Clamp(pmt->stream_count, TS_MAX_STREAMS);
    for (uint32_t i = 0; i < streams; ++i) {
        const TS_StreamInfo& s = pmt->streams[i];
        t.S("  ST:0x").X(s.stream_type, 2).S("(").S(ts_detail::StreamTypeLabel(s.stream_type)).S(")");
        t.S(" EPID:0x").X(s.elementary_PID, 4).S(" ESIL:").D(s.ES_info_length);
        t.S(" DSC:").D(s.descriptor_count).S("\n");
        if (const char* codec = TS_CodecName(TS_StreamCodec(pmt, &s))) t.S("  CODEC:").S(codec).S("\n");
        t.S("  DSC:").D(s.descriptor_count).S("\n");
        AppendDescriptors(t, s.descriptors, s.descriptor_count);
    }
    t.S("  CRC32:0x").X(pmt->CRC_32, 8).S("\n");
    return 0;
}

int32_t TS_PCR_Print(const TS_PCR* pcr) {
    if (pcr == nullptr) return -1;
    // The base counts a 90 kHz clock; the extension plays no part in the time shown.
    const uint64_t base = pcr->program_clock_reference_base;
    uint64_t r = base;
    const uint64_t hours = r / 324000000u;
    r -= hours * 324000000u;
    const uint64_t minutes = r / 5400000u;
    r -= minutes * 5400000u;
    const uint64_t seconds = r / 90000u;
    r -= seconds * 90000u;
    const uint64_t milliseconds = r / 90u;
    // "[PCR] TI:0x%02X(%s) PB:%lld(%02d:%02d:%02d.%03d) R:%d PE:%d\n"
    Text t;
    t.S("[PCR] TI:0x").X(pcr->table_id, 2).S("(").S(ts_detail::TableIdLabel(pcr->table_id)).S(")");
    t.S(" PB:").D(static_cast<int64_t>(base)).S("(").D(static_cast<int64_t>(hours), 2);
    t.S(":").D(static_cast<int64_t>(minutes), 2).S(":").D(static_cast<int64_t>(seconds), 2);
    t.S(".").D(static_cast<int64_t>(milliseconds), 3).S(")");
    t.S(" R:").D(pcr->reserved).S(" PE:").D(static_cast<int32_t>(pcr->program_clock_reference_extension));
    t.S("\n");
    return 0;
}

int32_t TS_Section_PrintPrivate(const TS_Section* section) {
    if (section == nullptr) return -1;
    Text t;
    AppendSectionHeader(t, "[Private]", *section);
    t.ByteList(section->private_data_byte, SectionDataLength(*section));
    AppendSectionCRC(t, *section);
    return 0;
}

int32_t TS_Section_PrintEMM(const TS_Section* section) {
    if (section == nullptr) return -1;
    Text t;
    AppendSectionHeader(t, "[EMM]", *section);
    // The card identifier: the first six data bytes as one 48-bit big-endian number,
    // "CardID:%lld(0x%llx)\n  ".
    uint64_t card = 0;
    TS_Section_GetCardIdFromEMM(&card, section);
    t.S("CardID:").D(static_cast<int64_t>(card)).S("(0x").LowerHex(card).S(")\n  ");
    const uint32_t n = SectionDataLength(*section);
    t.ByteList(section->private_data_byte + 6, n > 6 ? n - 6 : 0);
    AppendSectionCRC(t, *section);
    return 0;
}
