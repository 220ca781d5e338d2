// PAT and PMT decoding, the PMT lookups, capacities and loops whose lengths overrun the section.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "builder.h"
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
    bool intact() const {
        for (uint8_t x : after)
            if (x != 0x5A) return false;
        return true;
    }
};

std::unique_ptr<TS_PreSection> Pre(const Bytes& section, uint8_t fill_beyond = 0) {
    auto pre = std::make_unique<TS_PreSection>();
    std::memset(pre->buffer, fill_beyond, sizeof pre->buffer);
    tsb::LoadSection(*pre, section);
    return pre;
}

TEST(Pat, HeaderAndProgramLoop) {
    Bytes s = tsb::PatSection(0x1234, {{0, 0x10}, {1024, 0x1F0}}, 5);
    auto pre = Pre(s);
    TS_PAT pat{};
    ASSERT_EQ(TS_PAT_FromPreSection(&pat, pre.get()), 0);
    EXPECT_EQ(pat.table_id, 0);
    EXPECT_EQ(pat.section_syntax_indicator, 1);
    EXPECT_EQ(pat.reserved_1, 3);
    EXPECT_EQ(pat.section_length, 17);
    EXPECT_EQ(pat.transport_stream_id, 0x1234);
    EXPECT_EQ(pat.reserved_2, 3);
    EXPECT_EQ(pat.version_number, 5);
    EXPECT_EQ(pat.current_next_indicator, 1);
    EXPECT_EQ(pat.section_number, 0);
    EXPECT_EQ(pat.last_section_number, 0);
    ASSERT_EQ(pat.program_count, 2);
    EXPECT_EQ(pat.programs[0].program_number, 0);
    EXPECT_EQ(pat.programs[0].PID, 0x10);
    EXPECT_EQ(pat.programs[1].program_number, 1024);
    EXPECT_EQ(pat.programs[1].reserved, 7);
    EXPECT_EQ(pat.programs[1].PID, 0x1F0);
    EXPECT_EQ(pat.CRC_32, tsb::TrailingU32(s));
    EXPECT_EQ(pat.decoded, 1);

    // A one-program PAT into the same record: the count restarts, the old second entry stays.
    auto one = Pre(tsb::PatSection(1, {{7, 0x777}}));
    ASSERT_EQ(TS_PAT_FromPreSection(&pat, one.get()), 0);
    EXPECT_EQ(pat.section_length, 13);
    ASSERT_EQ(pat.program_count, 1);
    EXPECT_EQ(pat.programs[0].PID, 0x777);
    EXPECT_EQ(pat.programs[1].PID, 0x1F0);

    EXPECT_EQ(TS_PAT_FromPreSection(nullptr, one.get()), -1);
    EXPECT_EQ(TS_PAT_FromPreSection(&pat, nullptr), -1);
}

TEST(Pat, ProgramEntryAndPartialEntry) {
    TS_ProgramData e{};
    const uint8_t b[] = {0x01, 0x02, 0xE1, 0x00};
    ASSERT_EQ(TS_PAT_GetProgramData(&e, b), 0);
    EXPECT_EQ(e.program_number, 258);
    EXPECT_EQ(e.reserved, 7);
    EXPECT_EQ(e.PID, 0x100);
    EXPECT_EQ(TS_PAT_GetProgramData(nullptr, b), -1);
    EXPECT_EQ(TS_PAT_GetProgramData(&e, nullptr), -1);

    // A two-byte program loop (section_length 11): one entry, completed by the CRC's first bytes.
    Bytes s = tsb::LongSection({.table_id = 0}, {0x00, 0x05});
    auto pre = Pre(s);
    TS_PAT pat{};
    ASSERT_EQ(TS_PAT_FromPreSection(&pat, pre.get()), 0);
    EXPECT_EQ(pat.section_length, 11);
    ASSERT_EQ(pat.program_count, 1);
    EXPECT_EQ(pat.programs[0].program_number, 5);
    EXPECT_EQ(pat.programs[0].PID, ((s[10] & 0x1F) << 8) | s[11]);
}

TEST(Pat, CrcFromTheLastFourBytes) {
    Bytes s = tsb::PatSection(1, {{1, 0x100}});
    std::copy_n(Bytes{0x80, 0x00, 0x01, 0x02}.begin(), 4, s.end() - 4);
    auto pre = Pre(s);
    TS_PAT pat{};
    TS_PAT_FromPreSection(&pat, pre.get());
    EXPECT_EQ(pat.CRC_32, (1u << 31) + 258);

    Bytes p = tsb::PmtSection(1, 0x100, {}, {{0x1B, 0x100, {}}});
    std::copy_n(Bytes{0x80, 0x00, 0x01, 0x02}.begin(), 4, p.end() - 4);
    auto pp = Pre(p);
    auto pmt = std::make_unique<TS_PMT>();
    TS_PMT_FromPreSection(pmt.get(), pp.get(), 0x1000);
    EXPECT_EQ(pmt->CRC_32, (1u << 31) + 258);
}

TEST(Pat, MoreProgramsThanTheRecordHolds) {
    std::vector<tsb::Program> progs;
    for (uint16_t i = 0; i < 20; ++i) progs.push_back({static_cast<uint16_t>(i + 1), static_cast<uint16_t>(0x100 + i)});
    Bytes s = tsb::PatSection(1, progs);
    auto pre = Pre(s);
    Guarded<TS_PAT> g;
    ASSERT_EQ(TS_PAT_FromPreSection(&g.rec, pre.get()), 0);
    EXPECT_EQ(g.rec.program_count, 16);
    EXPECT_EQ(g.rec.programs[15].program_number, 16);
    EXPECT_EQ(g.rec.programs[15].PID, 0x10F);
    EXPECT_EQ(g.rec.CRC_32, tsb::TrailingU32(s));
    EXPECT_EQ(g.rec.decoded, 1);
    EXPECT_TRUE(g.intact());
}

TEST(Pmt, SmallestAndFullSections) {
    Bytes small = tsb::PmtSection(1, 0x100, {}, {{0x1B, 0x100, {}}});
    ASSERT_EQ(small.size(), 21u);  // section_length 18
    auto pre = Pre(small);
    auto pmt = std::make_unique<TS_PMT>();
    std::memset(static_cast<void*>(pmt.get()), 0, sizeof *pmt);
    ASSERT_EQ(TS_PMT_FromPreSection(pmt.get(), pre.get(), 0x1000), 0);
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
    auto pf = Pre(full);
    ASSERT_EQ(TS_PMT_FromPreSection(pmt.get(), pf.get(), 0x1F0), 0);
    EXPECT_EQ(pmt->table_id, 2);
    EXPECT_EQ(pmt->section_syntax_indicator, 1);
    EXPECT_EQ(pmt->reserved_1, 3);
    EXPECT_EQ(pmt->section_length, full.size() - 3);
    EXPECT_EQ(pmt->program_number, 1024);
    EXPECT_EQ(pmt->reserved_2, 3);
    EXPECT_EQ(pmt->version_number, 9);
    EXPECT_EQ(pmt->current_next_indicator, 1);
    EXPECT_EQ(pmt->PCR_PID, 0x1FF);
    EXPECT_EQ(pmt->program_info_length, 8 + 4);
    ASSERT_EQ(pmt->descriptor_count, 2);
    EXPECT_EQ(pmt->descriptors[0].descriptor_tag, 9);
    EXPECT_EQ(pmt->descriptors[0].conditional_access.CA_PID, 0x130);
    EXPECT_EQ(pmt->descriptors[1].descriptor_tag, 0xC1);
    ASSERT_EQ(pmt->stream_count, 2);
    EXPECT_EQ(pmt->streams[0].stream_type, 0x1B);
    EXPECT_EQ(pmt->streams[0].elementary_PID, 0x111);
    EXPECT_EQ(pmt->streams[0].ES_info_length, 3);
    EXPECT_EQ(pmt->streams[0].descriptor_count, 1);
    EXPECT_EQ(pmt->streams[1].stream_type, 0x0F);
    EXPECT_EQ(pmt->streams[1].elementary_PID, 0x112);
    ASSERT_EQ(pmt->streams[1].descriptor_count, 2);
    EXPECT_EQ(pmt->streams[1].descriptors[0].ISO_639_language.languages[0].ISO_639_language_code, 0x6A706Eu);
    EXPECT_EQ(pmt->streams[1].descriptors[1].raw.data[0], 0x10);
    EXPECT_EQ(pmt->CRC_32, tsb::TrailingU32(full));
    EXPECT_EQ(pmt->decoded, 1);
    EXPECT_EQ(pmt->PID, 0x1F0);

    EXPECT_EQ(TS_PMT_FromPreSection(nullptr, pf.get(), 1), -1);
    EXPECT_EQ(TS_PMT_FromPreSection(pmt.get(), nullptr, 1), -1);
}

TEST(Pmt, Lookups) {
    auto pmt = std::make_unique<TS_PMT>();
    auto decode = [&](const Bytes& s) {
        auto pre = Pre(s);
        ASSERT_EQ(TS_PMT_FromPreSection(pmt.get(), pre.get(), 0x1000), 0);
    };
    uint16_t ca = 0;
    // No program-level CA descriptor; one only in a stream's loop is not found.
    decode(tsb::PmtSection(1, 0x100, tsb::Descriptor(0x05, {'A', 'B', 'C', 'D'}),
                           {{0x1B, 0x101, tsb::CaDescriptor(1, 0x555)}}));
    ASSERT_EQ(TS_GetCAPIDFromPMT(&ca, pmt.get()), 0);
    EXPECT_EQ(ca, TS_NO_PID);
    // Two: the first one counts.
    decode(tsb::PmtSection(1, 0x100, tsb::Cat({tsb::Descriptor(0x52, {1}), tsb::CaDescriptor(1, 0x130), tsb::CaDescriptor(2, 0x131)}),
                           {{0x1B, 0x101, {}}, {0x0F, 0x102, {}}}));
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
    for (uint16_t i = 0; i < 20; ++i) streams.push_back({0x03, static_cast<uint16_t>(0x200 + i), {}});
    // The second stream has 40 descriptors of its own.
    for (uint8_t i = 0; i < 40; ++i) streams[1].descriptors = tsb::Cat({streams[1].descriptors, tsb::Descriptor(0x52, {i})});
    Bytes s = tsb::PmtSection(1, 0x100, many, streams);
    ASSERT_LT(s.size(), 1024u);
    auto pre = Pre(s);
    auto g = std::make_unique<Guarded<TS_PMT>>();
    ASSERT_EQ(TS_PMT_FromPreSection(&g->rec, pre.get(), 0x1000), 0);
    const TS_PMT& pmt = g->rec;
    EXPECT_EQ(pmt.descriptor_count, 32);
    EXPECT_EQ(pmt.descriptors[31].descriptor_tag, 0x80 + 31);
    uint16_t ca = 0;
    TS_GetCAPIDFromPMT(&ca, &pmt);
    EXPECT_EQ(ca, TS_NO_PID);
    ASSERT_EQ(pmt.stream_count, 16);
    for (uint16_t i = 0; i < 16; ++i) EXPECT_EQ(pmt.streams[i].elementary_PID, 0x200 + i) << i;
    EXPECT_EQ(pmt.streams[1].descriptor_count, 32);
    EXPECT_EQ(pmt.streams[1].descriptors[31].raw.data[0], 31);
    EXPECT_EQ(pmt.streams[2].descriptor_count, 0);
    // The streams beyond the 16 records still count as streams of the PMT.
    EXPECT_EQ(pmt.elementary_PID_count, 20);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(&pmt, 0x20F), 1);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(&pmt, 0x213), 1);
    EXPECT_EQ(TS_IsStreamPIDOfPMT(&pmt, 0x214), 0);
    EXPECT_EQ(pmt.CRC_32, tsb::TrailingU32(s));
    EXPECT_TRUE(g->intact());
}

// Lengths inside the section that claim more than it holds: the loops stop at the section's
// end. The buffer beyond the section is filled with 0x09, which at any alignment reads as CA
// descriptors (and stream entries) naming PID 0x909: that PID must never be found.
class PmtOverrun : public ::testing::Test {
protected:
    std::unique_ptr<TS_PreSection> PreWithBait(const Bytes& s) {
        auto pre = std::make_unique<TS_PreSection>();
        std::memset(pre->buffer, 0x09, sizeof pre->buffer);
        tsb::LoadSection(*pre, s);
        return pre;
    }
    static bool SeesBait(const TS_PMT& pmt) {
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
    std::unique_ptr<Guarded<TS_PMT>> g = std::make_unique<Guarded<TS_PMT>>();
};

TEST_F(PmtOverrun, ProgramInfoLengthBeyondSection) {
    Bytes s = tsb::PmtSection(1, 0x100, tsb::CaDescriptor(1, 0x130), {{0x1B, 0x101, {}}});
    s[10] = 0xFF, s[11] = 0xFF;  // program_info_length 0xFFF
    tsb::FixCrc(s);
    auto pre = PreWithBait(s);
    ASSERT_EQ(TS_PMT_FromPreSection(&g->rec, pre.get(), 0x1000), 0);
    EXPECT_EQ(g->rec.program_info_length, 0xFFF);
    EXPECT_FALSE(SeesBait(g->rec));
    EXPECT_EQ(g->rec.stream_count, 0);  // the descriptor loop claims the rest of the section
    uint16_t ca = 0;
    TS_GetCAPIDFromPMT(&ca, &g->rec);
    EXPECT_EQ(ca, 0x130);
    EXPECT_EQ(g->rec.CRC_32, tsb::TrailingU32(s));
    EXPECT_TRUE(g->intact());
}

TEST_F(PmtOverrun, EsInfoAndDescriptorLengthsBeyondSection) {
    Bytes s = tsb::PmtSection(1, 0x100, {}, {{0x03, 0x101, tsb::LanguageDescriptor({{"eng", 0}})}});
    const size_t es = 12 + 3;  // ES_info_length of the only stream
    s[es] = 0xFF, s[es + 1] = 0xFF;
    tsb::FixCrc(s);
    auto pre = PreWithBait(s);
    ASSERT_EQ(TS_PMT_FromPreSection(&g->rec, pre.get(), 0x1000), 0);
    EXPECT_FALSE(SeesBait(g->rec));
    ASSERT_EQ(g->rec.stream_count, 1);
    EXPECT_EQ(g->rec.streams[0].ES_info_length, 0xFFF);
    EXPECT_GE(g->rec.streams[0].descriptor_count, 1);
    EXPECT_EQ(g->rec.CRC_32, tsb::TrailingU32(s));

    // The last descriptor claims 200 bytes: only section bytes are copied into it.
    Bytes t = tsb::PmtSection(1, 0x100, {}, {{0x03, 0x101, tsb::Descriptor(0x52, {0xAA, 0xBB})}});
    const size_t body = 12 + 5 + 2;  // first byte of the descriptor's body
    t[body - 1] = 200;
    tsb::FixCrc(t);
    auto pt = PreWithBait(t);
    std::memset(static_cast<void*>(&g->rec), 0, sizeof g->rec);
    ASSERT_EQ(TS_PMT_FromPreSection(&g->rec, pt.get(), 0x1000), 0);
    ASSERT_EQ(g->rec.stream_count, 1);
    ASSERT_EQ(g->rec.streams[0].descriptor_count, 1);
    const TS_Descriptor& d = g->rec.streams[0].descriptors[0];
    EXPECT_EQ(d.raw.data[0], 0xAA);
    EXPECT_EQ(d.raw.data[1], 0xBB);
    for (size_t k = t.size() - body; k < 200; ++k) ASSERT_EQ(d.raw.data[k], 0) << k;
    EXPECT_TRUE(g->intact());
}

TEST(Pmt, StreamEntryBoundedByAvailable) {
    // An entry whose descriptors claim more than the caller says is readable.
    Bytes entry{0x1B, 0xE1, 0x00, 0xF0, 0x20, 0x0A, 0x08, 'e', 'n', 'g', 0, 'f', 'r', 'a', 0};
    std::unique_ptr<uint8_t[]> exact(new uint8_t[entry.size()]);
    std::memcpy(exact.get(), entry.data(), entry.size());
    auto st = std::make_unique<TS_StreamInfo>();
    std::memset(static_cast<void*>(st.get()), 0, sizeof *st);
    ASSERT_EQ(TS_PMT_GetStreamInfo(st.get(), exact.get(), static_cast<uint16_t>(entry.size())), 0);
    EXPECT_EQ(st->stream_type, 0x1B);
    EXPECT_EQ(st->elementary_PID, 0x100);
    EXPECT_EQ(st->ES_info_length, 0x20);
    ASSERT_EQ(st->descriptor_count, 1);
    EXPECT_EQ(st->descriptors[0].ISO_639_language.languages[1].ISO_639_language_code, 0x667261u);
    EXPECT_EQ(TS_PMT_GetStreamInfo(nullptr, exact.get(), 5), -1);
    EXPECT_EQ(TS_PMT_GetStreamInfo(st.get(), nullptr, 5), -1);
}

// A real recording: its PMT names 19 streams (checked with ffprobe: H.264 on 0x100, MPEG audio
// on 0x101 to 0x112 with languages l01 to l18) across two packets; the record keeps 16.
TEST(Pmt, RealStreamWithMoreStreamsThanTheRecordHolds) {
    Bytes file;
    if (!tsb::ReadFile(VELKARIN_STREAMS_DIR "/pmt-two-packets.ts", file))
        GTEST_SKIP() << "sample stream pmt-two-packets.ts not present";
    tsb::SectionSink sink(TS_SECTION_PMT);
    for (size_t off = 0; off + 188 <= file.size() && sink.done.empty(); off += 188) {
        tsb::Packet p;
        std::copy_n(file.begin() + static_cast<long>(off), 188, p.begin());
        if ((((p[1] & 0x1F) << 8) | p[2]) == 0x1000) sink.Feed(p);
    }
    ASSERT_FALSE(sink.done.empty());
    ASSERT_TRUE(sink.done[0].intact);
    auto pre = Pre(sink.done[0].section);
    auto pmt = std::make_unique<TS_PMT>();
    ASSERT_EQ(TS_PMT_FromPreSection(pmt.get(), pre.get(), 0x1000), 0);
    EXPECT_EQ(pmt->program_number, 1);
    EXPECT_EQ(pmt->PCR_PID, 0x100);
    ASSERT_EQ(pmt->stream_count, 16);
    EXPECT_EQ(pmt->streams[0].stream_type, 0x1B);
    EXPECT_EQ(pmt->streams[0].elementary_PID, 0x100);
    for (uint16_t i = 1; i < 16; ++i) {
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
    EXPECT_EQ(pmt->CRC_32, tsb::TrailingU32(sink.done[0].section));
}

}  // namespace
