// CAT decoding with its CA-PID lookup, the PCR taken from a packet, private sections and the
// card identifier of an EMM.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "builder.h"
#include "ts.h"

namespace {

using tsb::Bytes;

std::unique_ptr<TS_PreSection> Pre(const Bytes& section, uint8_t fill_beyond = 0) {
    auto pre = std::make_unique<TS_PreSection>();
    std::memset(pre->buffer, fill_beyond, sizeof pre->buffer);
    tsb::LoadSection(*pre, section);
    return pre;
}

TEST(Cat, DescriptorsAndCaPid) {
    Bytes s = tsb::CatSection({0x09, 0x04, 0x0B, 0x00, 0xE1, 0x01}, 3);
    auto pre = Pre(s);
    auto cat = std::make_unique<TS_CAT>();
    ASSERT_EQ(TS_CAT_FromPreSection(cat.get(), pre.get()), 0);
    EXPECT_EQ(cat->table_id, 1);
    EXPECT_EQ(cat->section_syntax_indicator, 1);
    EXPECT_EQ(cat->reserved_1, 3u);
    EXPECT_EQ(cat->section_length, 15);
    EXPECT_EQ(cat->transport_stream_id, 0xFFFF);
    EXPECT_EQ(cat->version_number, 3);
    EXPECT_EQ(cat->current_next_indicator, 1);
    ASSERT_EQ(cat->descriptor_count, 1);
    EXPECT_EQ(cat->descriptors[0].conditional_access.CA_system_ID, 0x0B00);
    EXPECT_EQ(cat->CRC_32, tsb::TrailingU32(s));
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
    struct G {
        TS_CAT cat;
        uint8_t after[256];
    };
    auto g = std::make_unique<G>();
    std::memset(g.get(), 0x5A, sizeof *g);
    Bytes d;
    for (uint8_t i = 0; i < 40; ++i) d = tsb::Cat({d, tsb::CaDescriptor(i, static_cast<uint16_t>(0x200 + i))});
    Bytes s = tsb::CatSection(d);
    auto pre = Pre(s);
    ASSERT_EQ(TS_CAT_FromPreSection(&g->cat, pre.get()), 0);
    EXPECT_EQ(g->cat.descriptor_count, 32);
    EXPECT_EQ(g->cat.descriptors[31].conditional_access.CA_PID, 0x200 + 31);
    EXPECT_EQ(g->cat.CRC_32, tsb::TrailingU32(s));
    for (uint8_t x : g->after) ASSERT_EQ(x, 0x5A);

    // A descriptor that claims to run past the section takes nothing from beyond it: the buffer
    // there holds a CA descriptor that must not be found.
    Bytes t = tsb::CatSection(tsb::Descriptor(0x52, {1, 2}));
    t[9] = 250;
    tsb::FixCrc(t);
    auto bait = std::make_unique<TS_PreSection>();
    Bytes ca = tsb::CaDescriptor(1, 0x123);
    for (size_t i = 0; i + ca.size() <= sizeof bait->buffer; i += ca.size()) std::copy(ca.begin(), ca.end(), bait->buffer + i);
    tsb::LoadSection(*bait, t);
    std::memset(static_cast<void*>(&g->cat), 0, sizeof g->cat);
    ASSERT_EQ(TS_CAT_FromPreSection(&g->cat, bait.get()), 0);
    ASSERT_EQ(g->cat.descriptor_count, 1);
    EXPECT_EQ(g->cat.descriptors[0].raw.data[0], 1);
    for (size_t k = t.size() - 10; k < 250; ++k) ASSERT_EQ(g->cat.descriptors[0].raw.data[k], 0) << k;
    uint16_t pid = 0;
    TS_GetCAPIDFromCAT(&pid, &g->cat);
    EXPECT_EQ(pid, TS_NO_PID);
}

TEST(Pcr, ImportMatchesTheAdaptationField) {
    tsb::Packet p = tsb::MakePacket({.pid = 0x1FF, .afc = 2}, {}, {7, 0x10, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x2C});
    TS_PCR pcr{};
    ASSERT_EQ(TS_PCR_Import(&pcr, p.data() + 5), 0);
    EXPECT_EQ(pcr.table_id, 0x10);
    EXPECT_EQ(pcr.program_clock_reference_base, 3u);
    EXPECT_EQ(pcr.reserved, 63);
    EXPECT_EQ(pcr.program_clock_reference_extension, 300u);

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

TEST(PrivateSection, ShortForm) {
    Bytes s = tsb::ShortSection(0x90, {1, 2, 3, 4, 5});
    auto pre = Pre(s);
    auto sec = std::make_unique<TS_Section>();
    std::memset(static_cast<void*>(sec.get()), 0xEE, sizeof *sec);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), pre.get()), 0);
    EXPECT_EQ(sec->table_id, 0x90);
    EXPECT_EQ(sec->section_syntax_indicator, 0);
    EXPECT_EQ(sec->private_indicator, 1);
    EXPECT_EQ(sec->private_section_length, 5);
    EXPECT_EQ(Bytes(sec->private_data_byte, sec->private_data_byte + 5), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(sec->private_data_byte[5], 0xEE);
    EXPECT_EQ(sec->table_id_extension, 0xEEEE);  // long form only
    EXPECT_EQ(sec->CRC_32, 0xEEEEEEEEu);
    EXPECT_EQ(TS_Section_DataLength(sec.get()), 5);
    EXPECT_EQ(sec->decoded, 1);
}

TEST(PrivateSection, LongFormAndCardId) {
    // private_section_length 15: six data bytes from byte 8, CRC from byte 14.
    Bytes s = tsb::LongSection({.table_id = 0x82, .table_id_extension = 0x0102, .version = 4, .private_indicator = true},
                               {0x01, 0x00, 0x00, 0x00, 0x00, 0x02});
    ASSERT_EQ(s.size(), 18u);
    auto pre = Pre(s, 0x77);
    auto sec = std::make_unique<TS_Section>();
    std::memset(static_cast<void*>(sec.get()), 0, sizeof *sec);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), pre.get()), 0);
    EXPECT_EQ(sec->section_syntax_indicator, 1);
    EXPECT_EQ(sec->private_indicator, 1);
    EXPECT_EQ(sec->private_section_length, 15);
    EXPECT_EQ(sec->table_id_extension, 258);
    EXPECT_EQ(sec->version_number, 4);
    EXPECT_EQ(TS_Section_DataLength(sec.get()), 6);
    EXPECT_EQ(sec->private_data_byte[6], 0);  // the CRC is not data
    EXPECT_EQ(sec->CRC_32, tsb::TrailingU32(s));
    uint64_t id = 0;
    ASSERT_EQ(TS_Section_GetCardIdFromEMM(&id, sec.get()), 0);
    EXPECT_EQ(id, (1ull << 40) + 2);
    EXPECT_EQ(TS_Section_GetCardIdFromEMM(nullptr, sec.get()), -1);
    EXPECT_EQ(TS_Section_GetCardIdFromEMM(&id, nullptr), -1);

    // A long form whose length leaves no data (below 9): nothing is copied.
    Bytes tiny = s;
    tsb::SetSectionLength(tiny, 5);
    tiny.resize(8);
    auto pt = Pre(tiny, 0x77);
    std::memset(sec->private_data_byte, 0xEE, sizeof sec->private_data_byte);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), pt.get()), 0);
    EXPECT_EQ(TS_Section_DataLength(sec.get()), 0);
    EXPECT_EQ(sec->private_data_byte[0], 0xEE);
}

TEST(PrivateSection, LargestSectionsStayInTheirArrays) {
    // The longest sections the assembler accepts, in both forms, with the buffer beyond them
    // filled with a byte that must not show up in the data.
    Bytes body(2928 - 12);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i % 251);
    Bytes lf = tsb::LongSection({.table_id = 0x83}, body);
    auto sec = std::make_unique<TS_Section>();
    auto pre = Pre(lf);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), pre.get()), 0);
    ASSERT_EQ(TS_Section_DataLength(sec.get()), body.size());
    EXPECT_EQ(Bytes(sec->private_data_byte, sec->private_data_byte + body.size()), body);
    EXPECT_EQ(sec->CRC_32, tsb::TrailingU32(lf));

    Bytes sf = tsb::ShortSection(0x84, Bytes(2925, 0x3C));
    auto ps = Pre(sf);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), ps.get()), 0);
    EXPECT_EQ(TS_Section_DataLength(sec.get()), 2925);
    EXPECT_EQ(sec->private_data_byte[2924], 0x3C);

    // A short form whose length field claims more than was assembled copies only the section.
    Bytes claim = tsb::ShortSection(0x85, Bytes(20, 0x3C));
    tsb::SetSectionLength(claim, 4095);
    auto pc = Pre(claim, 0xA5);
    std::memset(sec->private_data_byte, 0, sizeof sec->private_data_byte);
    ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), pc.get()), 0);
    for (uint8_t x : sec->private_data_byte) ASSERT_NE(x, 0xA5);
}

// The broadcast recording: its CAT names the EMM PID 0x140, and every EMM section there (some
// across two packets) is assembled intact with a card identifier.
TEST(PrivateSection, RealBroadcastCatAndEmm) {
    Bytes file;
    if (!tsb::ReadFile(VELKARIN_STREAMS_DIR "/broadcast.ts", file))
        GTEST_SKIP() << "sample stream broadcast.ts not present";
    tsb::SectionSink cat(TS_SECTION_CAT), emm(TS_SECTION_PRIVATE, true);
    for (size_t off = 0; off + 188 <= file.size(); off += 188) {
        ASSERT_EQ(file[off], 0x47);
        tsb::Packet p;
        std::copy_n(file.begin() + static_cast<long>(off), 188, p.begin());
        uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
        if (pid == 1) cat.Feed(p);
        if (pid == 0x140) emm.Feed(p);
    }
    ASSERT_FALSE(cat.done.empty());
    auto pre = Pre(cat.done[0].section);
    auto c = std::make_unique<TS_CAT>();
    ASSERT_EQ(TS_CAT_FromPreSection(c.get(), pre.get()), 0);
    uint16_t ca = 0;
    TS_GetCAPIDFromCAT(&ca, c.get());
    EXPECT_EQ(ca, 0x140);
    ASSERT_FALSE(emm.done.empty());
    bool two_packet = false;
    auto sec = std::make_unique<TS_Section>();
    for (const tsb::Completed& e : emm.done) {
        EXPECT_TRUE(e.intact);
        two_packet |= e.carriers.size() == 2;
        auto pe = Pre(e.section);
        ASSERT_EQ(TS_Section_PrivateFromPreSection(sec.get(), pe.get()), 0);
        EXPECT_EQ(TS_Section_DataLength(sec.get()) + (sec->section_syntax_indicator ? 12u : 3u), e.section.size());
    }
    EXPECT_TRUE(two_packet);
}

}  // namespace
