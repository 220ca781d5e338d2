// The section assembler with every decoder behind it. Byte 0 of the input chooses options:
//   bit 0   record the carrying packets (TS_SectionCarriers)
//   bit 1   packets of 192 bytes (a 4-byte extra header before each)
//   bit 4   (without bit 1) packets of 204 bytes (a 16-byte trailer after each)
//   bits 2-3 which assembly packets on PIDs other than 0 and 1 feed: PMT, private, by bit 0
//           of the PID, by bit 4 of the PID
//   bit 7   the rest is not packets but raw imports: records of [kind][cc][length:2][bytes],
//           the length arbitrary and clamped to what remains
// Every section the assembler accepts goes through all four table decoders, the collection of
// tables in several sections, the lookups, the language lists, the codecs and dual mono, and
// (when the dump is built) the table printers.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "psi/descriptor_tags.h"
#include "quiet.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

TS_PreSection g_pre[4];
TS_SectionCarriers g_carriers[4];
TS_PAT g_pat;
TS_PMT g_pmt;
TS_CAT g_cat;
TS_Section g_section;
TS_TableSections g_tables;

#ifdef VELKARIN_FUZZ_DUMP
// The public descriptor printers on each decoded descriptor: the general ones, the tag's
// own, and another tag's (which must refuse it).
void PrintDescriptors(const TS_Descriptor* descriptors, uint16_t count) {
    using Printer = int32_t (*)(const TS_Descriptor*);
#define TS_FUZZ_COUNT(tag, name, label) +1
    static constexpr uint32_t kTags = 0 TS_DESCRIPTOR_TAGS(TS_FUZZ_COUNT);
#undef TS_FUZZ_COUNT
    static constexpr struct Printers {
        Printer by_tag[256];
        uint8_t tags[kTags];
        constexpr Printers() : by_tag(), tags() {
            uint32_t n = 0;
#define TS_FUZZ_PRINTER(tag, name, label) by_tag[tag] = TS_Descriptor_Print##name, tags[n++] = tag;
            TS_DESCRIPTOR_TAGS(TS_FUZZ_PRINTER)
#undef TS_FUZZ_PRINTER
        }
    } kPrinters;
    for (uint16_t i = 0; i < count && i < TS_MAX_DESCRIPTORS; ++i) {
        const TS_Descriptor* d = &descriptors[i];
        TS_Descriptor_Print(d);
        TS_Descriptor_PrintRAW(d);
        const Printer own = kPrinters.by_tag[d->descriptor_tag];
        if (own && own(d) != 0) __builtin_trap();
        // Another tag's printer refuses it.
        const uint8_t other = kPrinters.tags[d->descriptor_tag % kTags] == d->descriptor_tag
                                  ? kPrinters.tags[(d->descriptor_tag + 1) % kTags]
                                  : kPrinters.tags[d->descriptor_tag % kTags];
        if (kPrinters.by_tag[other](d) != -2) __builtin_trap();
    }
}
#endif

void DecodeAll(const TS_PreSection* pre, uint16_t pid) {
    TS_PAT_FromPreSection(&g_pat, pre);
    TS_PMT_FromPreSection(&g_pmt, pre, pid);
    TS_CAT_FromPreSection(&g_cat, pre);
    TS_Section_PrivateFromPreSection(&g_section, pre);

    if (g_pat.program_count > TS_MAX_PROGRAMS || g_pmt.stream_count > TS_MAX_STREAMS ||
        g_pmt.descriptor_count > TS_MAX_DESCRIPTORS || g_cat.descriptor_count > TS_MAX_DESCRIPTORS ||
        g_pmt.elementary_PID_count > TS_MAX_ELEMENTARY_PIDS)
        __builtin_trap();
    for (uint16_t i = 0; i < g_pmt.stream_count; ++i)
        if (g_pmt.streams[i].descriptor_count > TS_MAX_DESCRIPTORS) __builtin_trap();

    if (TS_TableSections_Add(&g_tables, pre) == 1) {
        TS_PAT_FromTableSections(&g_pat, &g_tables);
        TS_CAT_FromTableSections(&g_cat, &g_tables);
        if (g_pat.program_count > TS_MAX_PROGRAMS || g_cat.descriptor_count > TS_MAX_DESCRIPTORS) __builtin_trap();
    }
    uint32_t codes[TS_MAX_LANGUAGES];
    for (uint16_t i = 0; i < g_pmt.stream_count && i < TS_MAX_STREAMS; ++i)
        for (uint16_t k = 0; k < g_pmt.streams[i].descriptor_count && k < TS_MAX_DESCRIPTORS; ++k)
            if (TS_Descriptor_GetLanguages(&g_pmt.streams[i].descriptors[k], codes, TS_MAX_LANGUAGES) > TS_MAX_LANGUAGES)
                __builtin_trap();
    uint32_t pair[2];
    for (uint16_t i = 0; i < g_pmt.stream_count && i < TS_MAX_STREAMS; ++i) {
        if (TS_StreamCodec(&g_pmt, &g_pmt.streams[i]) >= TS_CODEC_COUNT) __builtin_trap();
        TS_StreamDualMono(&g_pmt, &g_pmt.streams[i], pair);
    }
    for (uint16_t i = 0; i < g_pmt.elementary_PID_count && i < TS_MAX_ELEMENTARY_PIDS; ++i)
        if (TS_StreamTypeCodec(&g_pmt, g_pmt.elementary_stream_types[i]) >= TS_CODEC_COUNT) __builtin_trap();
    uint16_t ca = 0;
    TS_GetCAPIDFromPMT(&ca, &g_pmt);
    TS_GetCAPIDFromCAT(&ca, &g_cat);
    for (uint16_t i = 0; i < g_pmt.elementary_PID_count; ++i)
        if (!TS_IsStreamPIDOfPMT(&g_pmt, g_pmt.elementary_PIDs[i])) __builtin_trap();
    TS_IsStreamPIDOfPMT(&g_pmt, g_pmt.PCR_PID);
    uint64_t card = 0;
    TS_Section_GetCardIdFromEMM(&card, &g_section);
    if (TS_Section_DataLength(&g_section) > sizeof g_section.private_data_byte) __builtin_trap();
    TS_PreSection_IsIntact(pre);
#ifdef VELKARIN_FUZZ_DUMP
    PrintDescriptors(g_pmt.descriptors, g_pmt.descriptor_count);
    for (uint16_t i = 0; i < g_pmt.stream_count; ++i)
        PrintDescriptors(g_pmt.streams[i].descriptors, g_pmt.streams[i].descriptor_count);
    PrintDescriptors(g_cat.descriptors, g_cat.descriptor_count);
    TS_PAT_Print(&g_pat);
    TS_PMT_Print(&g_pmt);
    TS_CAT_Print(&g_cat);
    TS_Section_PrintPrivate(&g_section);
    TS_Section_PrintEMM(&g_section);
#endif
}

struct Context {
    uint16_t pid;
};

int32_t OnSection(void* context, const TS_SectionEvent* e) {
    const TS_PreSection* pre = e->section;
    if (pre->complete != 1 || pre->total_length > TS_SECTION_CAPACITY ||
        pre->filled_length != pre->total_length || e->unit_count > TS_MAX_CARRIERS)
        __builtin_trap();
    // The carriers are whole packets: read them all.
    uint32_t sum = 0;
    for (uint16_t i = 0; i < e->unit_count; ++i)
        for (uint16_t k = 0; k < e->carriers->unit_size; ++k) sum += e->carriers->units[i][k];
    if (sum == 0xFFFFFFFFu) __builtin_trap();
    DecodeAll(pre, static_cast<Context*>(context)->pid);
    return 0;
}

void FeedPackets(const uint8_t* data, size_t size, uint8_t options) {
    const uint32_t unit = (options & 2) ? TS_M2TS_PACKET_SIZE : (options & 0x10) ? TS_RS_PACKET_SIZE : TS_PACKET_SIZE;
    const uint32_t lead = TS_UnitLead(unit);
    const bool carry = options & 1;
    const uint8_t route = (options >> 2) & 3;
    for (size_t off = 0; off + unit <= size; off += unit) {
        uint8_t bytes[TS_MAX_UNIT_SIZE];
        std::memcpy(bytes, data + off, unit);
        bytes[lead] = TS_SYNC_BYTE;
        TS_Header header;
        if (TS_Header_Get(&header, bytes + lead) != 0) __builtin_trap();
        TS_SectionKind kind;
        if (header.PID == TS_PID_PAT) kind = TS_SECTION_PAT;
        else if (header.PID == TS_PID_CAT) kind = TS_SECTION_CAT;
        else if (route == 0) kind = TS_SECTION_PMT;
        else if (route == 1) kind = TS_SECTION_PRIVATE;
        else if (route == 2) kind = (header.PID & 1) ? TS_SECTION_PMT : TS_SECTION_PRIVATE;
        else kind = (header.PID & 0x10) ? TS_SECTION_PMT : TS_SECTION_PRIVATE;
        Context context{header.PID};
        TS_Packet_FeedSections(&g_pre[kind], kind, &header, bytes, unit, carry ? &g_carriers[kind] : nullptr,
                               OnSection, &context);
        const TS_PreSection& pre = g_pre[kind];
        if (pre.filled_length > TS_SECTION_CAPACITY || pre.total_length > TS_SECTION_CAPACITY) __builtin_trap();
    }
}

void RawImports(const uint8_t* data, size_t size) {
    size_t off = 0;
    while (off + 4 <= size) {
        const uint8_t kind = data[off] & 3;
        const uint8_t cc = data[off + 1] & 0x0F;
        uint32_t length = (uint32_t{data[off + 2]} << 8) | data[off + 3];
        off += 4;
        if (length > size - off) length = static_cast<uint32_t>(size - off);
        // A copy of exactly `length` bytes, so that ASan sees any read beyond them.
        uint8_t* copy = new uint8_t[length ? length : 1];
        std::memcpy(copy, data + off, length);
        off += length;
        TS_PreSection* pre = &g_pre[kind];
        const uint16_t n = static_cast<uint16_t>(length);
        int32_t r = 0;
        switch (kind) {
            case 0: r = TS_PAT_ImportPreSection(pre, copy, n, cc); break;
            case 1: r = TS_CAT_ImportPreSection(pre, copy, n, cc); break;
            case 2: r = TS_PMT_ImportPreSection(pre, copy, n, cc); break;
            default: r = TS_Section_ImportPreSection(pre, copy, n, cc); break;
        }
        delete[] copy;
        if (r == -1 || pre->filled_length > TS_SECTION_CAPACITY || pre->total_length > TS_SECTION_CAPACITY)
            __builtin_trap();
        if (r == 0 && pre->complete && pre->total_length) DecodeAll(pre, 0x100);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    for (auto& pre : g_pre) TS_PreSection_Initialise(&pre);
    for (auto& c : g_carriers) c.count = 0;
    TS_TableSections_Initialise(&g_tables);
    const uint8_t options = data[0];
    if (options & 0x80) RawImports(data + 1, size - 1);
    else FeedPackets(data + 1, size - 1, options);
#ifdef VELKARIN_FUZZ_DUMP
    std::fflush(stdout);
#endif
    return 0;
}
