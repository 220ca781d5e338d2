// PAT, PMT, CAT and private-section decoding, the PCR import, the PMT and CAT lookups,
// capacities, and loops whose lengths overrun the section. A decoded record is checked through
// its printer (whose text is tested on its own) and field by field where no printer shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "builder.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

using tsb::Bytes;

// A record between guard bytes: a write past its end shows in `after`.
template <class T>
struct Guarded {
    T rec;
    uint8_t after[256];
    Guarded() {
        std::memset(static_cast<void*>(&rec), 0, sizeof rec);
        std::memset(after, 0x5A, sizeof after);
    }
    bool intact() const { return std::all_of(std::begin(after), std::end(after), [](uint8_t x) { return x == 0x5A; }); }
};

// The assembly buffer holding `section`, the bytes beyond it set to `beyond`.
std::unique_ptr<TS_PreSection> Pre(const Bytes& section, uint8_t beyond = 0) {
    auto pre = std::make_unique<TS_PreSection>();
    std::memset(pre->buffer, beyond, sizeof pre->buffer);
    tsb::LoadSection(*pre, section);
    return pre;
}

template <class T>
std::string Printed(int32_t (*printer)(const T*), const T* record) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(printer(record), 0);
    return testing::internal::GetCapturedStdout();
}
std::string Crc(const Bytes& s) {
    char b[24];
    std::snprintf(b, sizeof b, "  CRC32:0x%08X\n", tsb::TrailingU32(s));
    return b;
}

TEST(Pat, HeaderAndProgramLoop) {
    Bytes s = tsb::PatSection(0x1234, {{0, 0x10}, {1024, 0x1F0}}, 5);
    TS_PAT pat{};
    ASSERT_EQ(TS_PAT_FromPreSection(&pat, Pre(s).get()), 0);
    EXPECT_EQ(Printed(TS_PAT_Print, &pat), "[PAT] TI:0x00(PAT) SSI:1 R1:3 SL:17 TSI:4660 R2:3 VN:5 CNI:1 SN:0 LSN:0\n"
                                           "  Program:2\n  PN:0 R3:7 NETPID:0x0010\n  PN:1024 R3:7 PMTPID:0x01F0\n" + Crc(s));
    EXPECT_EQ(pat.decoded, 1);
    // A one-program PAT into the same record: the count restarts, the old second entry stays.
    ASSERT_EQ(TS_PAT_FromPreSection(&pat, Pre(tsb::PatSection(1, {{7, 0x777}})).get()), 0);
    EXPECT_EQ(pat.section_length, 13);
    ASSERT_EQ(pat.program_count, 1);
    EXPECT_EQ(pat.programs[0].PID, 0x777);
    EXPECT_EQ(pat.programs[1].PID, 0x1F0);
    EXPECT_EQ(TS_PAT_FromPreSection(nullptr, Pre(s).get()), -1);
    EXPECT_EQ(TS_PAT_FromPreSection(&pat, nullptr), -1);

    TS_ProgramData e{};
    const uint8_t b[] = {0x01, 0x02, 0xE1, 0x00};
    ASSERT_EQ(TS_PAT_GetProgramData(&e, b), 0);
    EXPECT_EQ(e.program_number, 258);
    EXPECT_EQ(e.reserved, 7);
    EXPECT_EQ(e.PID, 0x100);
    EXPECT_EQ(TS_PAT_GetProgramData(nullptr, b), -1);
    EXPECT_EQ(TS_PAT_GetProgramData(&e, nullptr), -1);
}

TEST(Pat, PartialEntryAndMoreProgramsThanTheRecordHolds) {
    // A two-byte program loop (section_length 11): the entry would take the CRC's first bytes
    // for its PID, so the table is damaged and nothing is claimed decoded.
    Bytes s = tsb::LongSection({.table_id = 0}, {0x00, 0x05});
    TS_PAT pat{};
    pat.decoded = 1;
    EXPECT_EQ(TS_PAT_FromPreSection(&pat, Pre(s).get()), TS_TABLE_DAMAGED);
    EXPECT_EQ(pat.decoded, 0);
    EXPECT_EQ(pat.section_length, 11);

    // 20 programs (a DVB multiplex) are all kept; beyond the record's 256, the rest is cut and
    // the record says so.
    for (const uint16_t n : {uint16_t{20}, uint16_t{300}}) {
        std::vector<tsb::Program> progs;
        for (uint16_t i = 0; i < n; ++i) progs.push_back({static_cast<uint16_t>(i + 1), static_cast<uint16_t>(0x100 + i)});
        s = tsb::PatSection(1, progs);
        auto g = std::make_unique<Guarded<TS_PAT>>();
        ASSERT_EQ(TS_PAT_FromPreSection(&g->rec, Pre(s).get()), 0);
        const uint16_t kept = n < TS_MAX_PROGRAMS ? n : TS_MAX_PROGRAMS;
        EXPECT_EQ(g->rec.program_count, kept);
        EXPECT_EQ(g->rec.capacity_reached, n > TS_MAX_PROGRAMS ? 1 : 0);
        EXPECT_EQ(g->rec.programs[kept - 1].program_number, kept);
        EXPECT_EQ(g->rec.programs[kept - 1].PID, 0x100 + kept - 1);
        EXPECT_EQ(g->rec.CRC_32, tsb::TrailingU32(s));
        EXPECT_TRUE(g->intact());
    }
}

// A PAT or CAT in several sections is taken once every section of one version is in; a
// section not yet applicable is not taken; a new version starts afresh.
TEST(TableSections, WholeTablesOfOneVersion) {
    auto section = [](uint8_t number, uint8_t last, uint8_t version, std::vector<tsb::Program> programs,
                      bool current = true) {
        Bytes body;
        for (const auto& p : programs) tsb::PutU16(body, p.number), tsb::PutU16(body, 0xE000u | p.pid);
        return tsb::LongSection({.table_id = 0, .table_id_extension = 1, .version = version, .current_next = current,
                                 .section_number = number, .last_section_number = last},
                                body);
    };
    auto t = std::make_unique<TS_TableSections>();
    TS_TableSections_Initialise(t.get());
    TS_PAT pat{};
    // Section 1 first, then section 0: whole at the second; again at each repetition.
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(section(1, 1, 4, {{3, 0x300}})).get()), 0);
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(section(0, 1, 4, {{0, 0x10}, {1, 0x100}})).get()), 1);
    ASSERT_EQ(TS_PAT_FromTableSections(&pat, t.get()), 0);
    ASSERT_EQ(pat.program_count, 3);
    EXPECT_EQ(pat.programs[1].PID, 0x100);
    EXPECT_EQ(pat.programs[2].program_number, 3);
    EXPECT_EQ(pat.last_section_number, 1);
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(section(0, 1, 4, {{0, 0x10}, {1, 0x100}})).get()), 1);
    // The next version, announced (current_next_indicator 0): not taken; the table in force stays.
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(section(0, 0, 5, {{7, 0x700}}, false)).get()), 0);
    ASSERT_EQ(TS_PAT_FromTableSections(&pat, t.get()), 0);
    EXPECT_EQ(pat.program_count, 3);
    // Applicable: a new collection, whole with its one section.
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(section(1, 1, 6, {{9, 0x900}})).get()), 0);
    EXPECT_EQ(TS_PAT_FromTableSections(&pat, t.get()), TS_TABLE_DAMAGED);  // not whole
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(section(0, 0, 6, {{7, 0x700}})).get()), 1);
    ASSERT_EQ(TS_PAT_FromTableSections(&pat, t.get()), 0);
    ASSERT_EQ(pat.program_count, 1);
    EXPECT_EQ(pat.programs[0].program_number, 7);
    // A section_number beyond last_section_number, or beyond what is collected: damaged.
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(section(2, 1, 6, {})).get()), TS_TABLE_DAMAGED);
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(section(0, TS_MAX_TABLE_SECTIONS, 6, {})).get()), TS_TABLE_DAMAGED);

    // A CAT in two sections: the descriptors of both.
    auto cat_section = [](uint8_t number, uint16_t ca_pid) {
        return tsb::LongSection({.table_id = 1, .table_id_extension = 0xFFFF, .section_number = number,
                                 .last_section_number = 1},
                                tsb::CaDescriptor(1, ca_pid));
    };
    TS_TableSections_Initialise(t.get());
    auto cat = std::make_unique<TS_CAT>();
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(cat_section(0, 0x140)).get()), 0);
    EXPECT_EQ(TS_TableSections_Add(t.get(), Pre(cat_section(1, 0x141)).get()), 1);
    ASSERT_EQ(TS_CAT_FromTableSections(cat.get(), t.get()), 0);
    ASSERT_EQ(cat->descriptor_count, 2);
    EXPECT_EQ(cat->descriptors[1].conditional_access.CA_PID, 0x141);
}

TEST(Pat, CrcFromTheLastFourBytes) {
    Bytes s = tsb::PatSection(1, {{1, 0x100}}), p = tsb::PmtSection(1, 0x100, {}, {{0x1B, 0x100, {}}});
    for (Bytes* b : {&s, &p}) std::copy_n(Bytes{0x80, 0x00, 0x01, 0x02}.begin(), 4, b->end() - 4);
    TS_PAT pat{};
    TS_PAT_FromPreSection(&pat, Pre(s).get());
    EXPECT_EQ(pat.CRC_32, (1u << 31) + 258);
    auto pmt = std::make_unique<TS_PMT>();
    TS_PMT_FromPreSection(pmt.get(), Pre(p).get(), 0x1000);
    EXPECT_EQ(pmt->CRC_32, (1u << 31) + 258);
}

TEST(Pmt, SmallestAndFullSections) {
    Bytes small = tsb::PmtSection(1, 0x100, {}, {{0x1B, 0x100, {}}});
    ASSERT_EQ(small.size(), 21u);  // section_length 18
    auto pmt = std::make_unique<TS_PMT>();
    std::memset(static_cast<void*>(pmt.get()), 0, sizeof *pmt);
    ASSERT_EQ(TS_PMT_FromPreSection(pmt.get(), Pre(small).get(), 0x1000), 0);
    EXPECT_EQ(pmt->section_length, 18);
    EXPECT_EQ(pmt->descriptor_count, 0);
    ASSERT_EQ(pmt->stream_count, 1);
    EXPECT_EQ(pmt->streams[0].descriptor_count, 0);
    EXPECT_EQ(pmt->PID, 0x1000);

    Bytes full = tsb::PmtSection(
        1024, 0x1FF, tsb::Cat({tsb::CaDescriptor(0x0005, 0x130, {1, 2}), tsb::Descriptor(0xC1, {0x84, 0xFF})}),
        {{0x1B, 0x111, tsb::Descriptor(0x52, {0x00})},
         {0x0F, 0x112, tsb::Cat({tsb::LanguageDescriptor({{"jpn", 0}}), tsb::Descriptor(0x52, {0x10})})}},
        9);
    ASSERT_EQ(TS_PMT_FromPreSection(pmt.get(), Pre(full).get(), 0x1F0), 0);
    EXPECT_EQ(Printed(TS_PMT_Print, pmt.get()),
              "[PMT] TI:0x02(maybe PMT) SSI:1 R1:3 SLEN:47 TSI:1024 R2:3 VER:9 CNI:1 SN:0 LSN:0 PCRPID:0x01FF PIL:12\n"
              "  DSC:2\n[D Conditional access] L:6 CASID:5 R:7 CAPID:0x0130\n  0x01, 0x02, \n"
              "[D Digital Copy Control] T:0xC1 L:2\n  0x84, 0xFF, \n"
              "  ST:0x1B(ISO/IEC 14496-10 AVC Video) EPID:0x0111 ESIL:3 DSC:1\n  CODEC:h264\n  DSC:1\n[D Stream Identifier] T:0x52 L:1\n  0x00, \n"
              "  ST:0x0F(ISO/IEC 13818-7 Audio) EPID:0x0112 ESIL:9 DSC:2\n  CODEC:aac\n  DSC:2\n[D ISO 639 language]\n  <0> ILC:6975598 AT:0\n"
              "[D Stream Identifier] T:0x52 L:1\n  0x10, \n" + Crc(full));
    EXPECT_EQ(pmt->decoded, 1);
    EXPECT_EQ(pmt->PID, 0x1F0);
    EXPECT_EQ(pmt->elementary_PID_count, 2);
    EXPECT_EQ(TS_PMT_FromPreSection(nullptr, Pre(full).get(), 1), -1);
    EXPECT_EQ(TS_PMT_FromPreSection(pmt.get(), nullptr, 1), -1);
}

TEST(Pmt, Lookups) {
    auto pmt = std::make_unique<TS_PMT>();
    uint16_t ca = 0;
    // No program-level CA descriptor; one only in a stream's loop is not found.
    ASSERT_EQ(TS_PMT_FromPreSection(pmt.get(), Pre(tsb::PmtSection(1, 0x100, tsb::Descriptor(0x05, {'A', 'B', 'C', 'D'}),
                                                                    {{0x1B, 0x101, tsb::CaDescriptor(1, 0x555)}})).get(), 0x1000), 0);
    ASSERT_EQ(TS_GetCAPIDFromPMT(&ca, pmt.get()), 0);
    EXPECT_EQ(ca, TS_NO_PID);
    // Two: the first one counts.
    const Bytes two = tsb::Cat({tsb::Descriptor(0x52, {1}), tsb::CaDescriptor(1, 0x130), tsb::CaDescriptor(2, 0x131)});
    const Bytes with_two = tsb::PmtSection(1, 0x100, two, {{0x1B, 0x101, {}}, {0x0F, 0x102, {}}});
    ASSERT_EQ(TS_PMT_FromPreSection(pmt.get(), Pre(with_two).get(), 0x1000), 0);
    ASSERT_EQ(TS_GetCAPIDFromPMT(&ca, pmt.get()), 0);
    EXPECT_EQ(ca, 0x130);
    ca = 0x4321;
    EXPECT_EQ(TS_GetCAPIDFromPMT(&ca, nullptr), -1);
    EXPECT_EQ(ca, 0x4321);
    EXPECT_EQ(TS_GetCAPIDFromPMT(nullptr, pmt.get()), -1);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(pmt.get(), 0x101), 1);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(pmt.get(), 0x102), 1);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(pmt.get(), 0x100), 0);  // the PCR_PID only
    EXPECT_EQ(TS_IsStreamPIDOfPMT(pmt.get(), 0x130), 0);
}

TEST(Pmt, CapacitiesAreNeverExceeded) {
    // 40 program-level descriptors: 32 kept, and the walk still reaches the streams behind them.
    Bytes many;
    for (uint8_t i = 0; i < 40; ++i) many = tsb::Cat({many, tsb::Descriptor(static_cast<uint8_t>(0x80 + i), {i})});
    many = tsb::Cat({many, tsb::CaDescriptor(1, 0x199)});  // 41st: beyond the record
    std::vector<tsb::Stream> streams;
    for (uint16_t i = 0; i < 70; ++i) streams.push_back({0x03, static_cast<uint16_t>(0x200 + i), {}});
    for (uint8_t i = 0; i < 40; ++i) streams[1].descriptors = tsb::Cat({streams[1].descriptors, tsb::Descriptor(0x52, {i})});
    Bytes s = tsb::PmtSection(1, 0x100, many, streams);
    auto g = std::make_unique<Guarded<TS_PMT>>();
    ASSERT_EQ(TS_PMT_FromPreSection(&g->rec, Pre(s).get(), 0x1000), 0);
    const TS_PMT& pmt = g->rec;
    EXPECT_EQ(pmt.capacity_reached, 1);
    EXPECT_EQ(pmt.descriptor_count, 32);
    EXPECT_EQ(pmt.descriptors[31].descriptor_tag, 0x80 + 31);
    uint16_t ca = 0;
    TS_GetCAPIDFromPMT(&ca, &pmt);
    EXPECT_EQ(ca, TS_NO_PID);
    ASSERT_EQ(pmt.stream_count, TS_MAX_STREAMS);
    for (uint16_t i = 0; i < TS_MAX_STREAMS; ++i) EXPECT_EQ(pmt.streams[i].elementary_PID, 0x200 + i) << i;
    EXPECT_EQ(pmt.streams[1].descriptor_count, 32);
    EXPECT_EQ(pmt.streams[1].descriptors[31].raw.data[0], 31);
    EXPECT_EQ(pmt.streams[2].descriptor_count, 0);
    // The streams beyond the records still count as streams of the PMT.
    EXPECT_EQ(pmt.elementary_PID_count, 70);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(&pmt, 0x200 + TS_MAX_STREAMS - 1), 1);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(&pmt, 0x245), 1);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(&pmt, 0x246), 0);
    EXPECT_EQ(pmt.CRC_32, tsb::TrailingU32(s));
    EXPECT_TRUE(g->intact());
}

// Lengths inside the section that claim more than it holds: the loops stop at the section's
// end. The buffer beyond the section is filled with 0x09, which at any alignment reads as CA
// descriptors (and stream entries) naming PID 0x909: that PID must never be found.
bool SeesBait(const TS_PMT& pmt) {
    auto bad = [](const TS_Descriptor* d, uint16_t n) {
        for (uint16_t i = 0; i < n && i < 32; ++i)
            if (d[i].descriptor_tag == 9 && d[i].conditional_access.CA_PID == 0x909) return true;
        return false;
    };
    if (bad(pmt.descriptors, pmt.descriptor_count)) return true;
    for (uint16_t i = 0; i < pmt.stream_count && i < 16; ++i)
        if (bad(pmt.streams[i].descriptors, pmt.streams[i].descriptor_count)) return true;
    return TS_IsStreamPIDOfPMT(&pmt, 0x909) != 0;
}

TEST(PmtOverrun, LoopLengthsBeyondTheSection) {
    auto g = std::make_unique<Guarded<TS_PMT>>();
    // Lengths that claim more than the section holds: damaged, never decoded, and nothing is
    // taken from beyond the section.
    Bytes info = tsb::PmtSection(1, 0x100, tsb::CaDescriptor(1, 0x130), {{0x1B, 0x101, {}}});
    info[10] = 0xFF, info[11] = 0xFF;  // program_info_length 0xFFF
    Bytes es = tsb::PmtSection(1, 0x100, {}, {{0x03, 0x101, tsb::LanguageDescriptor({{"eng", 0}})}});
    es[15] = 0xFF, es[16] = 0xFF;  // ES_info_length 0xFFF of the only stream
    Bytes desc = tsb::PmtSection(1, 0x100, {}, {{0x03, 0x101, tsb::Descriptor(0x52, {0xAA, 0xBB})}});
    desc[12 + 5 + 1] = 200;  // the last descriptor claims 200 bytes
    Bytes field = tsb::PmtSection(1, 0x100, {}, {{0x03, 0x101, tsb::Descriptor(0x0E, {0x01})}});
    // maximum_bitrate_descriptor with one byte of its three at the end of its loop
    Bytes entry = tsb::PmtSection(1, 0x100, {}, {{0x1B, 0x101, {}}});
    entry.insert(entry.end() - 4, {0x03, 0xE1});  // a partial stream entry before the CRC_32
    entry[2] = static_cast<uint8_t>(entry.size() - 3);
    for (Bytes* b : {&info, &es, &desc, &field, &entry}) {
        tsb::FixCrc(*b);
        g->rec.decoded = 1;
        EXPECT_EQ(TS_PMT_FromPreSection(&g->rec, Pre(*b, 0x09).get(), 0x1000), TS_TABLE_DAMAGED);
        EXPECT_EQ(g->rec.decoded, 0);
        EXPECT_FALSE(SeesBait(g->rec));
        EXPECT_TRUE(g->intact());
    }
    // The same sections with their lengths as built decode.
    for (const Bytes& b : {tsb::PmtSection(1, 0x100, tsb::CaDescriptor(1, 0x130), {{0x1B, 0x101, {}}}),
                           tsb::PmtSection(1, 0x100, {}, {{0x03, 0x101, tsb::Descriptor(0x0E, {1, 2, 3})}})}) {
        ASSERT_EQ(TS_PMT_FromPreSection(&g->rec, Pre(b, 0x09).get(), 0x1000), 0);
        EXPECT_EQ(g->rec.decoded, 1);
        EXPECT_EQ(g->rec.CRC_32, tsb::TrailingU32(b));
    }

    // A lone stream entry whose descriptors claim more than the caller says is readable.
    const Bytes lone{0x1B, 0xE1, 0x00, 0xF0, 0x20, 0x0A, 0x08, 'e', 'n', 'g', 0, 'f', 'r', 'a', 0};
    std::unique_ptr<uint8_t[]> exact(new uint8_t[lone.size()]);
    std::memcpy(exact.get(), lone.data(), lone.size());
    auto st = std::make_unique<TS_StreamInfo>();
    std::memset(static_cast<void*>(st.get()), 0, sizeof *st);
    EXPECT_EQ(TS_PMT_GetStreamInfo(st.get(), exact.get(), static_cast<uint16_t>(lone.size())), TS_TABLE_DAMAGED);
    EXPECT_EQ(st->stream_type, 0x1B);
    EXPECT_EQ(st->elementary_PID, 0x100);
    EXPECT_EQ(st->ES_info_length, 0x20);
    // Within its length, the entry and both languages decode.
    exact[4] = 0x0A;
    ASSERT_EQ(TS_PMT_GetStreamInfo(st.get(), exact.get(), static_cast<uint16_t>(lone.size())), 0);
    ASSERT_EQ(st->descriptor_count, 1);
    EXPECT_EQ(st->descriptors[0].ISO_639_language.languages[1].ISO_639_language_code, 0x667261u);
    EXPECT_EQ(TS_PMT_GetStreamInfo(nullptr, exact.get(), 5), -1);
    EXPECT_EQ(TS_PMT_GetStreamInfo(st.get(), nullptr, 5), -1);
}

// The sections of one PID of a shared stream, as the assembler completes them.
std::vector<tsb::Completed> SectionsOn(const char* name, uint16_t pid, TS_SectionKind kind) {
    Bytes file;
    if (!tsb::ReadFile(std::string(VELKARIN_STREAMS_DIR "/") + name, file)) return {};
    tsb::SectionSink sink(kind, true);
    sink.FeedFile(file, pid);
    return sink.done;
}

// A real recording: its PMT names 19 streams (checked with ffprobe: H.264 on 0x100, MPEG audio
// on 0x101 to 0x112 with languages l01 to l18) across two packets; the record keeps them all.
TEST(Pmt, RealStreamWithMoreStreamsThanTheRecordHolds) {
    const auto done = SectionsOn("pmt-two-packets.ts", 0x1000, TS_SECTION_PMT);
    if (done.empty()) GTEST_SKIP() << "sample stream pmt-two-packets.ts not present";
    auto pmt = std::make_unique<TS_PMT>();
    ASSERT_EQ(TS_PMT_FromPreSection(pmt.get(), Pre(done[0].section).get(), 0x1000), 0);
    EXPECT_EQ(pmt->program_number, 1);
    EXPECT_EQ(pmt->PCR_PID, 0x100);
    ASSERT_EQ(pmt->stream_count, 19);
    EXPECT_EQ(pmt->capacity_reached, 0);
    EXPECT_EQ(pmt->streams[0].stream_type, 0x1B);
    EXPECT_EQ(pmt->streams[0].elementary_PID, 0x100);
    for (uint16_t i = 1; i < 19; ++i) {
        EXPECT_EQ(pmt->streams[i].stream_type, 0x03);
        EXPECT_EQ(pmt->streams[i].elementary_PID, 0x100 + i);
        ASSERT_GE(pmt->streams[i].descriptor_count, 1);
        const TS_Descriptor& d = pmt->streams[i].descriptors[0];
        ASSERT_EQ(d.descriptor_tag, 10);
        uint32_t code = (uint32_t{'l'} << 16) | (uint32_t('0' + i / 10) << 8) | uint32_t('0' + i % 10);
        EXPECT_EQ(d.ISO_639_language.languages[0].ISO_639_language_code, code) << i;
    }
    EXPECT_EQ(pmt->elementary_PID_count, 19);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(pmt.get(), 0x112), 1);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(pmt.get(), 0x113), 0);
    EXPECT_EQ(pmt->CRC_32, tsb::TrailingU32(done[0].section));
}

TEST(Cat, DescriptorsAndCaPid) {
    Bytes s = tsb::CatSection({0x09, 0x04, 0x0B, 0x00, 0xE1, 0x01}, 3);
    auto cat = std::make_unique<TS_CAT>();
    ASSERT_EQ(TS_CAT_FromPreSection(cat.get(), Pre(s).get()), 0);
    EXPECT_EQ(Printed(TS_CAT_Print, cat.get()), "[CAT] TI:0x01(CAT) SSI:1 R1:3 SL:15 TSI:65535 R2:3 VN:3 CNI:1 SN:0 LSN:0\n"
                                                "  DSC:1\n[D Conditional access] L:4 CASID:B00 R:7 CAPID:0x0101\n  \n\n" + Crc(s));
    EXPECT_EQ(cat->decoded, 1);
    uint16_t ca = 0;
    ASSERT_EQ(TS_GetCAPIDFromCAT(&ca, cat.get()), 0);
    EXPECT_EQ(ca, 0x0101);
    // Without a CA_descriptor: no PID.
    auto none = Pre(tsb::CatSection(tsb::Descriptor(0x52, {1, 2, 3})));
    ASSERT_EQ(TS_CAT_FromPreSection(cat.get(), none.get()), 0);
    EXPECT_EQ(cat->descriptor_count, 1);
    ASSERT_EQ(TS_GetCAPIDFromCAT(&ca, cat.get()), 0);
    EXPECT_EQ(ca, TS_NO_PID);
    ca = 7;
    EXPECT_EQ(TS_GetCAPIDFromCAT(&ca, nullptr), -1);
    EXPECT_EQ(ca, 7);
    EXPECT_EQ(TS_GetCAPIDFromCAT(nullptr, cat.get()), -1);
    EXPECT_EQ(TS_CAT_FromPreSection(nullptr, none.get()), -1);
    EXPECT_EQ(TS_CAT_FromPreSection(cat.get(), nullptr), -1);
}

TEST(Cat, MoreDescriptorsThanTheRecordHoldsAndOverlongOnes) {
    auto g = std::make_unique<Guarded<TS_CAT>>();
    Bytes d;
    for (uint8_t i = 0; i < 40; ++i) d = tsb::Cat({d, tsb::CaDescriptor(i, static_cast<uint16_t>(0x200 + i))});
    Bytes s = tsb::CatSection(d);
    ASSERT_EQ(TS_CAT_FromPreSection(&g->rec, Pre(s).get()), 0);
    EXPECT_EQ(g->rec.descriptor_count, 32);
    EXPECT_EQ(g->rec.capacity_reached, 1);
    EXPECT_EQ(g->rec.descriptors[31].conditional_access.CA_PID, 0x200 + 31);
    EXPECT_EQ(g->rec.CRC_32, tsb::TrailingU32(s));
    EXPECT_TRUE(g->intact());

    // A descriptor that claims to run past the section: damaged, and nothing is taken from
    // beyond it (the buffer there holds CA descriptors that must not be found).
    Bytes t = tsb::CatSection(tsb::Descriptor(0x52, {1, 2}));
    t[9] = 250;
    tsb::FixCrc(t);
    auto bait = std::make_unique<TS_PreSection>();
    const Bytes ca = tsb::CaDescriptor(1, 0x123);
    for (size_t i = 0; i + ca.size() <= sizeof bait->buffer; i += ca.size()) std::copy(ca.begin(), ca.end(), bait->buffer + i);
    tsb::LoadSection(*bait, t);
    std::memset(static_cast<void*>(&g->rec), 0, sizeof g->rec);
    ASSERT_EQ(TS_CAT_FromPreSection(&g->rec, bait.get()), TS_TABLE_DAMAGED);
    EXPECT_EQ(g->rec.decoded, 0);
    uint16_t pid = 0;
    TS_GetCAPIDFromCAT(&pid, &g->rec);
    EXPECT_EQ(pid, TS_NO_PID);
}

TEST(Pcr, ImportMatchesTheAdaptationField) {
    // Length 7, PCR_flag only, PCR bytes 00 00 00 01 FF 2C: base 3, reserved 63, extension 300.
    tsb::Packet p = tsb::MakePacket({.pid = 0x1FF, .afc = 2}, {}, {7, 0x10, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x2C});
    TS_PCR pcr{};
    ASSERT_EQ(TS_PCR_Import(&pcr, p.data() + 5), 0);
    EXPECT_EQ(Printed(TS_PCR_Print, &pcr), "[PCR] TI:0x10(?) PB:3(00:00:00.000) R:63 PE:300\n");
    // A full-width clock from the builder's independent encoding, against the packet reader.
    tsb::Packet q = tsb::MakeStuffedPacket({.pid = 0x1FF}, {}, {.pcr = {{0x1FFFFFFFFull, 0x1FF}}});
    ASSERT_EQ(TS_PCR_Import(&pcr, q.data() + 5), 0);
    EXPECT_EQ(pcr.program_clock_reference_base, 0x1FFFFFFFFull);
    EXPECT_EQ(pcr.program_clock_reference_extension, 0x1FFu);
    TS_Packet r{};
    ASSERT_EQ(TS_Packet_Get(&r, q.data()), 0);
    EXPECT_EQ(r.adaptation_field.program_clock_reference_base, pcr.program_clock_reference_base);
    EXPECT_EQ(r.adaptation_field.program_clock_reference_extension, pcr.program_clock_reference_extension);
    EXPECT_EQ(TS_PCR_Import(nullptr, q.data() + 5), -1);
    EXPECT_EQ(TS_PCR_Import(&pcr, nullptr), -1);
}

TEST(PrivateSection, ShortAndLongFormAndCardId) {
    auto sec = std::make_unique<TS_Section>();
    std::memset(static_cast<void*>(sec.get()), 0xEE, sizeof *sec);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), Pre(tsb::ShortSection(0x90, {1, 2, 3, 4, 5})).get()), 0);
    EXPECT_EQ(Printed(TS_Section_PrintPrivate, sec.get()), "[Private] TI:0x90(<Carrier Definition>) SSI:0 PI:1 R1:3 PSL:5\n"
                                                           "  0x01, 0x02, 0x03, 0x04, 0x05, \n");
    EXPECT_EQ(sec->private_data_byte[5], 0xEE);
    EXPECT_EQ(sec->table_id_extension, 0xEEEE);  // long form only
    EXPECT_EQ(sec->CRC_32, 0xEEEEEEEEu);
    EXPECT_EQ(TS_Section_DataLength(sec.get()), 5);
    EXPECT_EQ(sec->decoded, 1);

    // private_section_length 15: six data bytes from byte 8, CRC from byte 14.
    Bytes s = tsb::LongSection({.table_id = 0x82, .table_id_extension = 0x0102, .version = 4, .private_indicator = true},
                               {0x01, 0x00, 0x00, 0x00, 0x00, 0x02});
    std::memset(static_cast<void*>(sec.get()), 0, sizeof *sec);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), Pre(s, 0x77).get()), 0);
    EXPECT_EQ(Printed(TS_Section_PrintPrivate, sec.get()), "[Private] TI:0x82(ECM ECM-S) SSI:1 PI:1 R1:3 PSL:15 TE:258 R2:3 "
                                                           "VN:4 CNI:1 SN:0 LSN:0\n  0x01, 0x00, 0x00, 0x00, 0x00, 0x02, \n" + Crc(s));
    EXPECT_EQ(sec->private_data_byte[6], 0);  // the CRC is not data
    uint64_t id = 0;
    ASSERT_EQ(TS_Section_GetCardIdFromEMM(&id, sec.get()), 0);
    EXPECT_EQ(id, (1ull << 40) + 2);
    EXPECT_EQ(TS_Section_GetCardIdFromEMM(nullptr, sec.get()), -1);
    EXPECT_EQ(TS_Section_GetCardIdFromEMM(&id, nullptr), -1);

    // A long form whose length leaves no data (below 9): nothing is copied.
    tsb::SetSectionLength(s, 5);
    s.resize(8);
    std::memset(sec->private_data_byte, 0xEE, sizeof sec->private_data_byte);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), Pre(s, 0x77).get()), 0);
    EXPECT_EQ(TS_Section_DataLength(sec.get()), 0);
    EXPECT_EQ(sec->private_data_byte[0], 0xEE);
}

TEST(PrivateSection, LargestSectionsStayInTheirArrays) {
    // The longest sections the assembler accepts, in both forms.
    Bytes body(2928 - 12);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i % 251);
    Bytes lf = tsb::LongSection({.table_id = 0x83}, body);
    auto sec = std::make_unique<TS_Section>();
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), Pre(lf).get()), 0);
    ASSERT_EQ(TS_Section_DataLength(sec.get()), body.size());
    EXPECT_EQ(Bytes(sec->private_data_byte, sec->private_data_byte + body.size()), body);
    EXPECT_EQ(sec->CRC_32, tsb::TrailingU32(lf));
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), Pre(tsb::ShortSection(0x84, Bytes(2925, 0x3C))).get()), 0);
    EXPECT_EQ(TS_Section_DataLength(sec.get()), 2925);
    EXPECT_EQ(sec->private_data_byte[2924], 0x3C);
    // A short form whose length field claims more than was assembled copies only the section:
    // the byte filling the buffer beyond it must not show up in the data.
    Bytes claim = tsb::ShortSection(0x85, Bytes(20, 0x3C));
    tsb::SetSectionLength(claim, 4095);
    std::memset(sec->private_data_byte, 0, sizeof sec->private_data_byte);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), Pre(claim, 0xA5).get()), 0);
    for (uint8_t x : sec->private_data_byte) ASSERT_NE(x, 0xA5);
}

// The broadcast recording: its CAT names the EMM PID 0x140, and every EMM section there (some
// across two packets) is assembled intact with a card identifier.
TEST(PrivateSection, RealBroadcastCatAndEmm) {
    const auto cats = SectionsOn("broadcast.ts", 1, TS_SECTION_CAT), emms = SectionsOn("broadcast.ts", 0x140, TS_SECTION_PRIVATE);
    if (cats.empty()) GTEST_SKIP() << "sample stream broadcast.ts not present";
    auto c = std::make_unique<TS_CAT>();
    ASSERT_EQ(TS_CAT_FromPreSection(c.get(), Pre(cats[0].section).get()), 0);
    uint16_t ca = 0;
    TS_GetCAPIDFromCAT(&ca, c.get());
    EXPECT_EQ(ca, 0x140);
    ASSERT_FALSE(emms.empty());
    bool two_packet = false;
    auto sec = std::make_unique<TS_Section>();
    for (const tsb::Completed& e : emms) {
        two_packet |= e.carriers.size() == 2;
        ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), Pre(e.section).get()), 0);
        EXPECT_EQ(TS_Section_DataLength(sec.get()) + (sec->section_syntax_indicator ? 12u : 3u), e.section.size());
    }
    EXPECT_TRUE(two_packet);
}

}  // namespace
