// Repeated tables: a section byte for byte the last one accepted on its PID is known intact
// without computing its CRC_32 again, and its drivers reuse what they decoded from it; any
// other section, however close, is checked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/scan.h"
#include "files.h"
#include "mux.h"
#include "pmt/pmt.h"

namespace {

using namespace tsb;

struct Accepted {
    Bytes section;
    bool repeat;
};

int32_t Record(void* context, const TS_SectionEvent* e) {
    static_cast<std::vector<Accepted>*>(context)->push_back(
        {Bytes(e->section->buffer, e->section->buffer + e->section->total_length), e->repeat != 0});
    return 0;
}

TEST(RepeatedSection, IsKnownWithoutItsCRCWhileAnyChangedOneIsChecked) {
    std::vector<Stream> streams;
    for (uint16_t k = 0; k < 40; ++k) streams.push_back({0x04, static_cast<uint16_t>(0x200 + k), LanguageDescriptor({{"eng", 0}})});
    const Bytes one = PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}});
    const Bytes two = PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}}, 1);      // same length, another version
    const Bytes longer = PmtSection(1, 0x101, {}, streams);                // over four packets
    auto flipped = [](Bytes s, size_t at) {
        s[at] ^= 0x10;  // the CRC_32 is left as it was
        return s;
    };
    struct Step {
        Bytes section;
        bool accepted, repeat;
    } steps[] = {
        {one, true, false},
        {one, true, true},
        {flipped(one, 14), false, false},  // a changed byte inside
        {one, true, false},                // the last intact one is no longer held whole
        {one, true, true},
        {flipped(one, one.size() - 1), false, false},  // the CRC_32's last byte
        {two, true, false},
        {longer, true, false},
        {longer, true, true},
        {flipped(longer, longer.size() - 40), false, false},  // in its last packet
        {longer, true, false},
        {one, true, false},  // shorter, its bytes those of the longer one's start but one
    };
    TS_PreSection pre;
    TS_PreSection_Initialise(&pre);
    ts_detail::ScanBegin(-1, "test");
    uint8_t cc = 0;
    std::vector<Accepted> got;
    for (const Step& step : steps) {
        const size_t before = got.size();
        const uint64_t failures = TS_GetDamage()->crc_failures;
        for (const Packet& p : Packetize(PsiStream{.pid = 0x100, .first_cc = cc}, {step.section})) {
            TS_Header h;
            TS_Header_Get(&h, p.data());
            cc = static_cast<uint8_t>((h.continuity_counter + 1) & 15);
            ASSERT_EQ(TS_Packet_FeedSections(&pre, TS_SECTION_PMT, &h, p.data(), 188, nullptr, Record, &got), 0);
        }
        const size_t index = static_cast<size_t>(&step - steps);
        ASSERT_EQ(got.size(), before + (step.accepted ? 1 : 0)) << index;
        EXPECT_EQ(TS_GetDamage()->crc_failures, failures + (step.accepted ? 0 : 1)) << index;
        if (step.accepted) {
            EXPECT_EQ(got.back().section, step.section) << index;
            EXPECT_EQ(got.back().repeat, step.repeat) << index;
        }
    }
    ts_detail::ScanDone();
}

TEST(RepeatedSection, AChangedCopyAmongRepeatsIsDamageAndNotThePMTItRepeats) {
    // A's PMT repeated, once with a changed byte: that copy is not part of A's piece.
    const Bytes pat = PatSection(1, {{1, 0x100}});
    const Bytes a = PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}, {0x04, 0x102, {}}});
    Bytes damaged = a;
    damaged[12] ^= 0x01;  // the PCR_PID's low bit: a plausible PMT, not A
    Mux m;
    std::vector<size_t> want;
    for (int k = 0; k < 6; ++k) {
        const size_t p = m.Section(0, pat);
        const size_t t = m.Section(0x100, k == 3 ? damaged : a);
        if (k != 3) want.push_back(p), want.push_back(t);
        want.push_back(m.Es(0x101, true));
        want.push_back(m.Es(0x102));
    }
    testfiles::ScratchFile input(m.File());
    static TS_PMTSplitTable table;
    ASSERT_EQ(TS_CheckPMTSplit(&table, input.path.c_str()), 0);
    EXPECT_EQ(TS_GetDamage()->crc_failures, 1u);
    ASSERT_EQ(table.u16Count, 1);
    EXPECT_EQ(table.ltEntry[0].u32Runs, 1u);
    EXPECT_EQ(table.ltEntry[0].u64Size, want.size() * 188);
    ASSERT_EQ(TS_PMTSplitFile(input.path.c_str(), 1, 0, nullptr), 0);
    char name[32];
    std::snprintf(name, sizeof name, "stream_%08X.ts", TrailingU32(a));
    EXPECT_EQ(testfiles::Read(input.dir / name), m.Pick(want));
}

}  // namespace
