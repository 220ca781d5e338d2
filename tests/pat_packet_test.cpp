// The PAT packet builder and the CRC-32 it computes, checked against layouts worked out by
// hand and against the builder's bitwise CRC-32.
#include <gtest/gtest.h>

#include <cstring>

#include "builder.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

using tsb::Packet;

TS_Header Header(uint16_t pid, uint8_t cc, uint8_t afc = 1) {
    TS_Header h{};
    h.sync_byte = 0x47;
    h.payload_unit_start_indicator = 1;
    h.PID = pid;
    h.adaptation_field_control = afc;
    h.continuity_counter = cc;
    return h;
}

// A PAT record as a decoder leaves it for a section with every reserved bit set.
TS_PAT Pat(uint16_t tsid, uint8_t version, std::initializer_list<TS_ProgramData> programs) {
    TS_PAT pat{};
    pat.section_syntax_indicator = 1;
    pat.reserved_1 = pat.reserved_2 = 3;
    pat.transport_stream_id = tsid;
    pat.version_number = version;
    pat.current_next_indicator = 1;
    for (const TS_ProgramData& p : programs) pat.programs[pat.program_count++] = p;
    pat.section_length = static_cast<uint16_t>(9 + 4 * pat.program_count);
    return pat;
}

TEST(PATToPacket, WritesTheReducedPATByteForByte) {
    // transport_stream_id 1, version 3, current_next 1, reserved bits set; the network entry
    // and program 1025 on PMT PID 0x1F1. Bytes 4 to 20 worked out by hand.
    TS_PAT pat = Pat(1, 3, {{0, 7, 0x10}, {1025, 7, 0x1F1}});
    TS_Header h = Header(0, 9);
    Packet p;
    ASSERT_EQ(TS_PAT_ToPacket(p.data(), &h, &pat), 0);
    const uint8_t head[] = {0x47, 0x40, 0x00, 0x19, 0x00, 0x00, 0xB0, 0x11, 0x00, 0x01, 0xC7,
                            0x00, 0x00, 0x00, 0x00, 0xE0, 0x10, 0x04, 0x01, 0xE1, 0xF1};
    EXPECT_EQ(std::memcmp(p.data(), head, sizeof head), 0);
    // The CRC is that of bytes 5 to 20, computed bit by bit; the section then checks to 0.
    EXPECT_EQ(tsb::TrailingU32(tsb::Bytes(p.begin(), p.begin() + 25)), tsb::Crc32(p.data() + 5, 16));
    EXPECT_EQ(GetCRC32(0xFFFFFFFFu, p.data() + 5, 20), 0u);
    for (size_t i = 25; i < 188; ++i) ASSERT_EQ(p[i], 0xFF) << i;
    p[16] ^= 0x01;  // a flipped bit in the section no longer checks
    EXPECT_NE(GetCRC32(0xFFFFFFFFu, p.data() + 5, 20), 0u);
}

TEST(PATToPacket, ProgramLoopLengthDecidesWhereTheCRCGoes) {
    TS_Header h = Header(0, 0);
    for (uint16_t programs : {uint16_t{0}, uint16_t{2}, uint16_t{16}}) {
        SCOPED_TRACE(programs);
        TS_PAT pat = Pat(7, 0, {});
        for (uint16_t i = 0; i < programs; ++i) pat.programs[i] = {static_cast<uint16_t>(i + 1), 7, 0x20};
        pat.program_count = programs;
        pat.section_length = static_cast<uint16_t>(9 + 4 * programs);
        Packet p;
        ASSERT_EQ(TS_PAT_ToPacket(p.data(), &h, &pat), 0);
        const size_t end = 17u + 4u * programs;  // one past the CRC
        EXPECT_EQ(p[7], pat.section_length);
        EXPECT_EQ(tsb::TrailingU32(tsb::Bytes(p.begin(), p.begin() + end)), tsb::Crc32(p.data() + 5, end - 9));
        for (size_t i = end; i < 188; ++i) ASSERT_EQ(p[i], 0xFF) << i;
    }
}

TEST(PATToPacket, HeaderFieldsLandInTheirBits) {
    TS_PAT pat = Pat(1, 0, {{1, 7, 0x100}});
    Packet p;
    const struct { uint16_t pid; uint8_t byte1, byte2; } cases[] = {{0x123, 0x41, 0x23}, {0x1FFF, 0x5F, 0xFF}, {0, 0x40, 0}};
    for (const auto& c : cases) {
        TS_Header h = Header(c.pid, 5);
        ASSERT_EQ(TS_PAT_ToPacket(p.data(), &h, &pat), 0);
        EXPECT_EQ(p[1], c.byte1) << c.pid;
        EXPECT_EQ(p[2], c.byte2) << c.pid;
    }
    // Every flag set: error, priority, scrambling, counter 15.
    TS_Header h = Header(0x1FFF, 15);
    h.transport_error_indicator = h.transport_priority = 1;
    h.transport_scrambling_control = 2;
    ASSERT_EQ(TS_PAT_ToPacket(p.data(), &h, &pat), 0);
    EXPECT_EQ(p[1], 0xFF);
    EXPECT_EQ(p[3], 0x9F);
    // An adaptation field announced by the header is copied, yet byte 4 stays the pointer.
    h = Header(0, 3, 3);
    ASSERT_EQ(TS_PAT_ToPacket(p.data(), &h, &pat), 0);
    EXPECT_EQ(p[3], 0x33);
    EXPECT_EQ(p[4], 0x00);
    EXPECT_EQ(p[5], 0x00);
}

TEST(PATToPacket, RebuildsADecodedPacketUnchanged) {
    // A PAT packet as a muxer writes it, decoded, then rebuilt from the two records; then the
    // same with the reserved bits clear: they are copied, not forced.
    tsb::Bytes set = tsb::PatSection(0x0ABC, {{0, 0x10}, {258, 0x100}, {3, 0x1FFE}}, 17), clear = set;
    clear[1] &= 0xCF;   // reserved_1
    clear[5] &= 0x3F;   // reserved_2
    clear[10] &= 0x1F;  // reserved of the second entry
    tsb::FixCrc(clear);
    for (const tsb::Bytes& section : {set, clear}) {
        Packet in = tsb::PsiStartPacket({.pid = 0, .cc = 11}, 0, section);
        TS_Packet packet;
        ASSERT_EQ(TS_Packet_Get(&packet, in.data()), 0);
        tsb::SectionSink sink(TS_SECTION_PAT);
        sink.Feed(in);
        ASSERT_EQ(sink.done.size(), 1u);
        TS_PAT pat{};
        ASSERT_EQ(TS_PAT_FromPreSection(&pat, &sink.pre), 0);
        ASSERT_EQ(pat.program_count, 3);
        Packet out;
        ASSERT_EQ(TS_PAT_ToPacket(out.data(), &packet, &pat), 0);
        EXPECT_EQ(out, in);
    }
}

TEST(PATToPacket, NullArgumentsWriteNothing) {
    TS_PAT pat = Pat(1, 0, {{1, 7, 0x100}});
    TS_Header h = Header(0, 0);
    Packet p;
    p.fill(0x5A);
    EXPECT_EQ(TS_PAT_ToPacket(nullptr, &h, &pat), -1);
    EXPECT_EQ(TS_PAT_ToPacket(p.data(), nullptr, &pat), -1);
    EXPECT_EQ(TS_PAT_ToPacket(p.data(), &h, nullptr), -1);
    for (uint8_t b : p) ASSERT_EQ(b, 0x5A);
}

}  // namespace
