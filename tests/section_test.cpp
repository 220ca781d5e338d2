// Section assembly: the import operations and the per-packet assignment of bytes to sections.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "builder.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

using tsb::Bytes;
using tsb::Packet;

// A PUSI packet with pointer_field 0 and `section` from byte 5, as the import operations see it:
// 183 bytes from offset 5.
Packet StartPacket(const Bytes& section, uint8_t cc, uint16_t pid = 0) {
    Bytes first(section.begin(), section.begin() + static_cast<long>(std::min<size_t>(183, section.size())));
    return tsb::PsiStartPacket({.pid = pid, .cc = cc}, 0, first);
}
// The packet that carries `section` bytes from `from` on, laid out for the import operations.
Packet NextPacket(const Bytes& section, size_t from, uint8_t cc) {
    Packet p = tsb::MakePacket({.cc = cc}, {0});
    size_t n = std::min<size_t>(183, section.size() - from);
    std::copy(section.begin() + static_cast<long>(from), section.begin() + static_cast<long>(from + n),
              p.begin() + 5);
    return p;
}
int32_t ImportPat(TS_PreSection& pre, const Packet& p) {
    return TS_PAT_ImportPreSection(&pre, p.data() + 5, 183, p[3] & 0x0F);
}

// A long-form private section of exactly `section_length` (body filled with a counting pattern).
Bytes SectionOfLength(uint16_t section_length, uint8_t table_id = 0x00) {
    Bytes body(section_length - 9u);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
    return tsb::LongSection({.table_id = table_id, .table_id_extension = 0x1234}, body);
}

TEST(ImportPreSection, SectionsAroundOnePacket) {
    TS_PreSection pre;
    ASSERT_EQ(TS_PreSection_Initialise(&pre), 0);
    EXPECT_EQ(pre.complete, 1);
    EXPECT_EQ(pre.last_continuity_counter, -1);
    Bytes pat = tsb::PatSection(7, {{1, 0x100}});
    ASSERT_EQ(ImportPat(pre, StartPacket(pat, 4)), 0);
    EXPECT_EQ(pre.complete, 1);
    EXPECT_EQ(pre.total_length, 16);
    EXPECT_EQ(pre.filled_length, 16);
    EXPECT_EQ(pre.last_continuity_counter, 4);
    EXPECT_EQ(Bytes(pre.buffer, pre.buffer + 16), pat);
    EXPECT_TRUE(TS_PreSection_IsIntact(&pre));
    // Idle after a whole section: any counter starts the next one. section_length 180 fills
    // the 183 bytes; 181 needs a second packet.
    ASSERT_EQ(ImportPat(pre, StartPacket(SectionOfLength(180), 2)), 0);
    EXPECT_EQ(pre.complete, 1);
    EXPECT_EQ(pre.filled_length, 183);
    EXPECT_EQ(pre.last_continuity_counter, 2);
    Bytes s181 = SectionOfLength(181);
    ASSERT_EQ(ImportPat(pre, StartPacket(s181, 1)), 0);
    EXPECT_EQ(pre.complete, 0);
    EXPECT_EQ(pre.filled_length, 183);
    EXPECT_EQ(pre.total_length, 184);
    ASSERT_EQ(ImportPat(pre, NextPacket(s181, 183, 2)), 0);
    EXPECT_EQ(pre.complete, 1);
    EXPECT_EQ(Bytes(pre.buffer, pre.buffer + 184), s181);
    EXPECT_TRUE(TS_PreSection_IsIntact(&pre));
}

TEST(ImportPreSection, MinimumLengthPerTable) {
    using Import = int32_t (*)(TS_PreSection*, const uint8_t*, uint16_t, uint8_t);
    struct Case { Import f; uint16_t minimum; };
    for (Case c : {Case{TS_PAT_ImportPreSection, 9}, Case{TS_CAT_ImportPreSection, 9},
                   Case{TS_Section_ImportPreSection, 9}, Case{TS_PMT_ImportPreSection, 13}}) {
        TS_PreSection pre;
        TS_PreSection_Initialise(&pre);
        Bytes below = SectionOfLength(c.minimum), at = SectionOfLength(c.minimum);
        tsb::SetSectionLength(below, static_cast<uint16_t>(c.minimum - 1));
        Packet p = StartPacket(below, 3);
        EXPECT_EQ(c.f(&pre, p.data() + 5, 183, 3), TS_SECTION_TOO_SHORT) << c.minimum;
        EXPECT_EQ(pre.complete, 1);
        EXPECT_EQ(pre.filled_length, 0);
        EXPECT_EQ(pre.last_continuity_counter, -1);
        Packet q = StartPacket(at, 4);
        EXPECT_EQ(c.f(&pre, q.data() + 5, 183, 4), 0) << c.minimum;
        EXPECT_EQ(pre.complete, 1);
        EXPECT_EQ(pre.total_length, c.minimum + 3);
    }
}

TEST(ImportPreSection, ContinuityBreaks) {
    Bytes s = SectionOfLength(400);
    struct Case { uint8_t first, next; int32_t expect; };
    for (Case c : {Case{15, 0, 0}, Case{15, 1, TS_SECTION_WRAP_BREAK}, Case{4, 5, 0},
                   Case{4, 6, TS_SECTION_CC_BREAK}, Case{4, 4, TS_SECTION_CC_BREAK}}) {
        TS_PreSection pre;
        TS_PreSection_Initialise(&pre);
        ASSERT_EQ(ImportPat(pre, StartPacket(s, c.first)), 0);
        ASSERT_EQ(pre.complete, 0);
        EXPECT_EQ(ImportPat(pre, NextPacket(s, 183, c.next)), c.expect) << int(c.first) << "->" << int(c.next);
        if (c.expect == 0) {
            EXPECT_EQ(pre.filled_length, 366);
        } else {
            EXPECT_EQ(pre.complete, 1);
            EXPECT_EQ(pre.filled_length, 0);
            EXPECT_EQ(pre.last_continuity_counter, -1);
        }
    }
}

TEST(ImportPreSection, BadArgumentsChangeNothing) {
    TS_PreSection pre;
    TS_PreSection_Initialise(&pre);
    Bytes s = SectionOfLength(400);
    ASSERT_EQ(ImportPat(pre, StartPacket(s, 5)), 0);
    TS_PreSection before = pre;
    Packet next = NextPacket(s, 183, 6);
    EXPECT_EQ(TS_PAT_ImportPreSection(&pre, next.data() + 5, 183, 16), -1);
    EXPECT_EQ(TS_PAT_ImportPreSection(&pre, nullptr, 183, 6), -1);
    EXPECT_EQ(TS_PAT_ImportPreSection(nullptr, next.data() + 5, 183, 6), -1);
    EXPECT_EQ(std::memcmp(&pre, &before, sizeof pre), 0);
    EXPECT_EQ(TS_PreSection_Initialise(nullptr), -1);
}

TEST(ImportPreSection, LongestSectionFitsAndOneMoreIsRefused) {
    // total_length 2928 fills the buffer exactly, over 16 imports of 183 bytes.
    Bytes s = SectionOfLength(2925, 0x80);
    TS_PreSection pre;
    TS_PreSection_Initialise(&pre);
    size_t from = 0;
    for (uint8_t cc = 0; from < s.size(); ++cc, from += 183) {
        Packet p = from == 0 ? StartPacket(s, cc) : NextPacket(s, from, cc & 0x0F);
        ASSERT_EQ(TS_Section_ImportPreSection(&pre, p.data() + 5, 183, cc & 0x0F), 0) << from;
    }
    EXPECT_EQ(pre.complete, 1);
    EXPECT_EQ(pre.total_length, 2928);
    EXPECT_EQ(Bytes(pre.buffer, pre.buffer + 2928), s);
    EXPECT_TRUE(TS_PreSection_IsIntact(&pre));

    for (uint16_t len : {uint16_t{2926}, uint16_t{4095}}) {
        Bytes big = SectionOfLength(200, 0x80);
        tsb::SetSectionLength(big, len);
        Packet p = StartPacket(big, 0);
        EXPECT_EQ(TS_Section_ImportPreSection(&pre, p.data() + 5, 183, 0), TS_SECTION_TOO_LONG) << len;
        EXPECT_EQ(pre.complete, 1);
        EXPECT_EQ(pre.filled_length, 0);
        EXPECT_EQ(pre.last_continuity_counter, -1);
    }
}

TEST(ImportPreSection, HeaderShorterThanThreeBytes) {
    Bytes s = tsb::PatSection(3, {{1, 0x100}, {2, 0x200}});
    for (uint16_t head : {uint16_t{1}, uint16_t{2}}) {
        TS_PreSection pre;
        TS_PreSection_Initialise(&pre);
        ASSERT_EQ(TS_PAT_ImportPreSection(&pre, s.data(), head, 9), 0);
        EXPECT_EQ(pre.complete, 0);
        EXPECT_EQ(pre.total_length, 0);
        EXPECT_EQ(pre.filled_length, head);
        ASSERT_EQ(TS_PAT_ImportPreSection(&pre, s.data() + head, static_cast<uint16_t>(s.size() - head), 10), 0);
        EXPECT_EQ(pre.complete, 1);
        EXPECT_EQ(pre.total_length, s.size());
        EXPECT_EQ(Bytes(pre.buffer, pre.buffer + s.size()), s);
    }
    // The length learnt late is still checked against the minimum.
    Bytes shortone = s;
    tsb::SetSectionLength(shortone, 5);
    TS_PreSection pre;
    TS_PreSection_Initialise(&pre);
    ASSERT_EQ(TS_PAT_ImportPreSection(&pre, shortone.data(), 1, 0), 0);
    EXPECT_EQ(TS_PAT_ImportPreSection(&pre, shortone.data() + 1, 20, 1), TS_SECTION_TOO_SHORT);
    EXPECT_EQ(pre.complete, 1);
}

TEST(PreSectionIntact, CrcOverTheWholeSection) {
    TS_PreSection pre;
    TS_PreSection_Initialise(&pre);
    Bytes pmt = tsb::PmtSection(1, 0x100, {}, {{0x1B, 0x100, {}}});
    ASSERT_EQ(TS_PMT_ImportPreSection(&pre, pmt.data(), static_cast<uint16_t>(pmt.size()), 0), 0);
    EXPECT_TRUE(TS_PreSection_IsIntact(&pre));
    for (size_t i : {size_t{3}, pmt.size() - 1}) {  // a body byte, a CRC byte
        Bytes bad = pmt;
        bad[i] ^= 0x04;
        ASSERT_EQ(TS_PMT_ImportPreSection(&pre, bad.data(), static_cast<uint16_t>(bad.size()), 1), 0);
        EXPECT_FALSE(TS_PreSection_IsIntact(&pre)) << i;
    }
    Bytes shortform = tsb::ShortSection(0x90, Bytes(20, 0x5A));
    ASSERT_EQ(TS_Section_ImportPreSection(&pre, shortform.data(), static_cast<uint16_t>(shortform.size()), 2), 0);
    EXPECT_TRUE(TS_PreSection_IsIntact(&pre));
    TS_PreSection_Initialise(&pre);
    EXPECT_FALSE(TS_PreSection_IsIntact(&pre));  // nothing held
}

// ---------------------------------------------------------------------------------------------
// TS_Packet_FeedSections
// ---------------------------------------------------------------------------------------------

TEST(FeedSections, OnePacketAndMultiPacketSections) {
    tsb::SectionSink sink(TS_SECTION_PMT, true);
    Bytes small = tsb::PmtSection(1, 0x100, tsb::CaDescriptor(0x0B00, 0x130), {{0x1B, 0x100, {}}});
    auto one = tsb::Packetize({.pid = 0x1000, .first_cc = 3}, {small});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(sink.Feed(one[0]), 0);
    ASSERT_EQ(sink.done.size(), 1u);
    EXPECT_EQ(sink.done[0].section, small);
    ASSERT_EQ(sink.done[0].carriers.size(), 1u);
    EXPECT_EQ(sink.done[0].carriers[0], Bytes(one[0].begin(), one[0].end()));

    // 18 audio streams with language descriptors: three packets. Continuation packets carry
    // 184 bytes from byte 4, so a wrong offset would break the CRC.
    std::vector<tsb::Stream> streams{{0x1B, 0x100, {}}};
    for (uint16_t i = 0; i < 18; ++i)
        streams.push_back({0x03, static_cast<uint16_t>(0x101 + i),
                           tsb::Cat({tsb::LanguageDescriptor({{"eng", 0}}), tsb::Descriptor(0x52, {1, 2, 3, 4, 5, 6, 7})})});
    Bytes big = tsb::PmtSection(1, 0x100, {}, streams);
    auto pkts = tsb::Packetize({.pid = 0x1000, .first_cc = 14}, {big});
    ASSERT_EQ(pkts.size(), 3u);
    for (size_t i = 0; i < pkts.size(); ++i) {
        EXPECT_EQ(sink.Feed(pkts[i]), 0);
        EXPECT_EQ(sink.done.size(), i + 1 < pkts.size() ? 1u : 2u) << i;
    }
    ASSERT_EQ(sink.done.size(), 2u);
    EXPECT_EQ(sink.done[1].section, big);
    ASSERT_EQ(sink.done[1].carriers.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(sink.done[1].carriers[i], Bytes(pkts[i].begin(), pkts[i].end()));
}

TEST(FeedSections, OnlyIntactSectionsOfTheirTableAreHandedOn) {
    const TS_Damage* damage = TS_GetDamage();
    auto pmt = [](uint8_t table_id) {
        return tsb::LongSection({.table_id = table_id, .table_id_extension = 1}, {0xE1, 0x00, 0xF0, 0x00});
    };
    Bytes corrupt = tsb::PatSection(1, {{1, 0x100}});
    corrupt[9] ^= 0x01;
    Bytes long_form = SectionOfLength(30, 0x81), bad_long = long_form;
    bad_long[12] ^= 0x80;
    const Bytes short_form = tsb::ShortSection(0x80, Bytes(40, 1));
    // Each section fed on its own; whether it reaches the handler, and whether it counts as
    // a CRC failure on its PID.
    const struct { TS_SectionKind kind; uint16_t pid; Bytes section; bool handed; bool failed; } rows[] = {
        {TS_SECTION_PAT, 0, tsb::PatSection(1, {{1, 0x100}}), true, false},
        {TS_SECTION_PAT, 0, corrupt, false, true},
        {TS_SECTION_PAT, 0, pmt(0x02), false, false},   // a PMT on the PAT's PID
        {TS_SECTION_CAT, 1, tsb::CatSection({}), true, false},
        {TS_SECTION_CAT, 1, tsb::PatSection(1, {}), false, false},
        {TS_SECTION_PMT, 0x100, pmt(0x02), true, false},
        {TS_SECTION_PMT, 0x100, pmt(0x03), false, false},  // another table with a valid CRC
        {TS_SECTION_PMT, 0x100, pmt(0xC0), false, false},
        {TS_SECTION_PRIVATE, 0x130, short_form, true, false},  // no CRC to check
        {TS_SECTION_PRIVATE, 0x130, long_form, true, false},
        {TS_SECTION_PRIVATE, 0x130, bad_long, false, true},
    };
    for (const auto& r : rows) {
        const uint64_t failures = damage->crc_failures;
        const uint32_t on_pid = damage->crc_failures_by_PID[r.pid];
        tsb::SectionSink sink(r.kind);
        sink.FeedAll(tsb::Packetize({.pid = r.pid}, {r.section}));
        EXPECT_EQ(sink.done.size(), r.handed ? 1u : 0u) << int(r.kind) << " table_id " << int(r.section[0]);
        if (r.handed) { EXPECT_EQ(sink.done[0].section, r.section); }
        EXPECT_EQ(damage->crc_failures - failures, r.failed ? 1u : 0u);
        EXPECT_EQ(damage->crc_failures_by_PID[r.pid] - on_pid, r.failed ? 1u : 0u);
    }
}

TEST(FeedSections, BackToBackSectionsAndStuffing) {
    Bytes a = tsb::ShortSection(0x80, Bytes(10, 0xA1));
    Bytes b = tsb::LongSection({.table_id = 0x81, .table_id_extension = 2}, Bytes(20, 0xB2));
    Bytes c = tsb::ShortSection(0x82, Bytes(9, 0xC3));
    // A table_id of 0xFF is stuffing: what follows is never taken for a section, though
    // these bytes would read as a well-formed one.
    Bytes decoy = tsb::ShortSection(0xFF, Bytes(9, 0xD4));
    Packet p = tsb::PsiStartPacket({.pid = 0x140}, 0, tsb::Cat({a, b, c, decoy}));
    tsb::SectionSink sink(TS_SECTION_PRIVATE);
    EXPECT_EQ(sink.Feed(p), 0);
    ASSERT_EQ(sink.done.size(), 3u);
    EXPECT_EQ(sink.done[0].section, a);
    EXPECT_EQ(sink.done[1].section, b);
    EXPECT_EQ(sink.done[2].section, c);

    // Sections running across packets back to back: each PUSI packet finishes the one in
    // progress before its pointer and starts the next at it.
    std::vector<Bytes> run;
    for (uint8_t i = 0; i < 6; ++i) run.push_back(SectionOfLength(static_cast<uint16_t>(100 + 37 * i), 0x90));
    tsb::SectionSink many(TS_SECTION_PRIVATE, true);
    auto pkts = tsb::Packetize({.pid = 0x140, .first_cc = 9}, run);
    many.FeedAll(pkts);
    ASSERT_EQ(many.done.size(), run.size());
    for (size_t i = 0; i < run.size(); ++i) {
        EXPECT_EQ(many.done[i].section, run[i]) << i;
    }
    // The second section (bytes 103 to 242) lay in packets 0 and 1.
    ASSERT_EQ(many.done[1].carriers.size(), 2u);
    EXPECT_EQ(many.done[1].carriers[1], Bytes(pkts[1].begin(), pkts[1].end()));
}

// Which bytes of each packet belong to which section: every row feeds its packets to one
// assembly and names the sections that come out, in order.
TEST(FeedSections, AssemblyRules) {
    const Bytes pat = tsb::PatSection(1, {{1, 0x100}}), big = SectionOfLength(400, 0x00), b200 = SectionOfLength(200, 0x00);
    auto start = [&](uint8_t cc, uint8_t pointer, const Bytes& payload) {
        return tsb::PsiStartPacket({.pid = 0, .cc = cc}, pointer, payload);
    };
    auto part = [](const Bytes& s, size_t from, size_t to) {
        return Bytes(s.begin() + static_cast<long>(from), s.begin() + static_cast<long>(std::min(to, s.size())));
    };
    const Packet first = start(0, 0, part(big, 0, 183));

    // The PMT's first packet carries a PCR in its adaptation field, its second a stuffing-only one.
    const Bytes pmt = tsb::PmtSection(1, 0x100, {}, {{0x02, 0x111, tsb::Descriptor(0x52, Bytes(200, 0x11))}});
    const auto pmt_pkts = tsb::Packetize({.first_adaptation = tsb::EncodeAdaptation({.pcr = {{12345, 6}}})}, {pmt});
    const Packet pmt_second = tsb::MakePacket({.cc = 1, .afc = 3}, part(pmt, 183 - 8, 999), tsb::EncodeAdaptation({.stuffing = 3}));
    // `s500` runs over two packets; the PAT starts behind its tail in the third.
    const Bytes s500 = SectionOfLength(500, 0x02);
    const auto three = tsb::Packetize({.first_cc = 5}, {s500, pat});
    auto jumped = tsb::Packetize({}, {SectionOfLength(450, 0x02)});
    jumped[1][3] = static_cast<uint8_t>((jumped[1][3] & 0xF0) | 7);
    // Adaptation-only packets in a section, with counters that would break continuity.
    const Bytes s300 = SectionOfLength(300, 0x02);
    const auto two = tsb::Packetize({.first_cc = 15}, {s300});
    const Packet af1 = tsb::MakePacket({.cc = 9, .afc = 2}, {}, tsb::EncodeAdaptation({.stuffing = 182}));
    const Packet af2 = tsb::MakePacket({.cc = 0, .afc = 2}, {}, tsb::EncodeAdaptation({.pcr = {{1, 1}}}));
    Bytes too_short = tsb::PatSection(1, {}), too_long = SectionOfLength(200, 0x00);
    tsb::SetSectionLength(too_short, 8);
    tsb::SetSectionLength(too_long, 3000);

    const struct { const char* what; std::vector<Packet> packets; std::vector<Bytes> sections; } rows[] = {
        {"payload behind an adaptation field", {pmt_pkts[0], pmt_second}, {pmt}},
        {"an adaptation field filling the packet",
         {tsb::MakePacket({.pusi = true, .afc = 3}, {}, tsb::EncodeAdaptation({.stuffing = 182}))}, {}},
        {"in order", three, {s500, pat}},
        {"a lost middle packet drops the section, not the start behind the pointer", {three[0], three[2]}, {pat}},
        {"a duplicated packet is a break as well", {three[0], three[1], three[1], three[2]}, {pat}},
        {"a continuation packet whose counter jumps drops the section", jumped, {}},
        {"packets without payload neither advance nor check the counter", {two[0], af1, af2, two[1]}, {s300}},
        {"a continuation packet starts nothing", {tsb::MakePacket({}, pat)}, {}},
        {"bytes after a section's end in a continuation packet are stuffing",
         {start(1, 0, part(b200, 0, 183)), tsb::MakePacket({.cc = 2}, tsb::Cat({part(b200, 183, 999), pat}))}, {b200}},
        {"a pointer covering too few bytes drops the section in progress",
         {first, start(1, 10, tsb::Cat({part(big, 183, 193), pat}))}, {pat}},
        {"bytes before the pointer with no section in progress are skipped", {start(0, 20, tsb::Cat({Bytes(20, 0x00), pat}))}, {pat}},
        {"a pointer of 184 drops the section and the packet",
         {first, start(1, 184, part(big, 183, 366)), start(2, 37, tsb::Cat({part(big, 366, 999), pat}))}, {pat}},
        {"a pointer of 255 as well",
         {first, start(1, 255, part(big, 183, 366)), start(2, 37, tsb::Cat({part(big, 366, 999), pat}))}, {pat}},
        {"too short and too long sections are dropped",
         {start(0, 0, too_short), start(1, 0, part(too_long, 0, 183)), tsb::MakePacket({.cc = 2}, part(too_long, 183, 999)),
          start(3, 0, pat)},
         {pat}}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        tsb::SectionSink sink(TS_SECTION_PRIVATE);  // takes every table_id
        for (const Packet& p : r.packets) EXPECT_EQ(sink.Feed(p), 0);
        ASSERT_EQ(sink.done.size(), r.sections.size());
        for (size_t i = 0; i < r.sections.size(); ++i) EXPECT_EQ(sink.done[i].section, r.sections[i]) << i;
    }
    // A section whose header is split across packets: `a` ends one or two bytes before the end
    // of the second packet, so `b`'s section_length arrives in the third.
    for (uint16_t tail : {uint16_t{1}, uint16_t{2}}) {
        const Bytes a = SectionOfLength(static_cast<uint16_t>(366 - tail - 3), 0x02), b = SectionOfLength(60, 0x02);
        auto pkts = tsb::Packetize({.pid = 0x1000}, {a, b});
        ASSERT_EQ(pkts.size(), 3u);
        ASSERT_EQ(pkts[1][4], 183 - tail);  // pointer_field
        tsb::SectionSink sink(TS_SECTION_PMT, true);
        sink.FeedAll(pkts);
        ASSERT_EQ(sink.done.size(), 2u) << tail;
        EXPECT_EQ(sink.done[0].section, a);
        EXPECT_EQ(sink.done[1].section, b);
        EXPECT_EQ(sink.done[1].carriers.size(), 2u);
    }
    // The empty packets carry nothing; a section started behind a break is carried by its own packet alone.
    const std::vector<std::pair<std::vector<Packet>, size_t>> carried = {{{two[0], af1, af2, two[1]}, 2}, {{three[0], three[2]}, 1}};
    for (const auto& [packets, carriers] : carried) {
        tsb::SectionSink sink(TS_SECTION_PRIVATE, true);
        sink.FeedAll(packets);
        ASSERT_EQ(sink.done.size(), 1u);
        EXPECT_EQ(sink.done[0].carriers.size(), carriers);
    }
}

TEST(FeedSections, HandlerResultStopsThePacket) {
    Bytes a = tsb::ShortSection(0x80, Bytes(10, 1)), b = tsb::ShortSection(0x81, Bytes(10, 2));
    Packet p = tsb::PsiStartPacket({.pid = 0x140}, 0, tsb::Cat({a, b}));
    TS_PreSection pre;
    TS_PreSection_Initialise(&pre);
    int calls = 0;
    TS_Header h{};
    TS_Header_Get(&h, p.data());
    auto handler = [](void* ctx, const TS_SectionEvent*) -> int32_t {
        ++*static_cast<int*>(ctx);
        return 7;
    };
    EXPECT_EQ(TS_Packet_FeedSections(&pre, TS_SECTION_PRIVATE, &h, p.data(), 188, nullptr, handler, &calls), 7);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(TS_Packet_FeedSections(nullptr, TS_SECTION_PRIVATE, &h, p.data(), 188, nullptr, handler, &calls), -1);
    EXPECT_EQ(TS_Packet_FeedSections(&pre, TS_SECTION_PRIVATE, &h, nullptr, 188, nullptr, handler, &calls), -1);
}

TEST(FeedSections, M2tsUnitsAreCarriedWhole) {
    Bytes big = SectionOfLength(250, 0x02);
    auto pkts = tsb::Packetize({.pid = 0x1F0, .first_cc = 4}, {big});
    Bytes units = tsb::JoinM2ts(pkts);
    tsb::SectionSink sink(TS_SECTION_PMT, true);
    for (size_t i = 0; i < pkts.size(); ++i) EXPECT_EQ(sink.FeedUnit(units.data() + 192 * i, 192), 0);
    ASSERT_EQ(sink.done.size(), 1u);
    EXPECT_EQ(sink.done[0].section, big);
    ASSERT_EQ(sink.done[0].carriers.size(), 2u);
    EXPECT_EQ(sink.done[0].carriers[1], Bytes(units.begin() + 192, units.begin() + 384));
}

// Real multi-packet sections: the two-packet PMT of a recording (on PID 0x1000, as its PAT
// says) comes out whole and intact.
TEST(FeedSections, RealStreamTwoPacketPmt) {
    Bytes file;
    if (!tsb::ReadFile(VELKARIN_STREAMS_DIR "/pmt-two-packets.ts", file)) GTEST_SKIP() << "sample stream pmt-two-packets.ts not present";
    tsb::SectionSink pat(TS_SECTION_PAT), pmt(TS_SECTION_PMT, true);
    pat.FeedFile(file, 0);
    pmt.FeedFile(file, 0x1000);
    ASSERT_FALSE(pat.done.empty());
    EXPECT_EQ(pat.done[0].section[10] & 0x1F, 0x10);  // the PAT's entry: PMT PID 0x1000
    EXPECT_EQ(pat.done[0].section[11], 0x00);
    ASSERT_FALSE(pmt.done.empty());
    for (const tsb::Completed& c : pmt.done) {
        EXPECT_GT(c.section.size(), 183u);
        EXPECT_EQ(c.carriers.size(), 2u);
        EXPECT_EQ(tsb::Crc32(c.section), 0u);
    }
}

}  // namespace
