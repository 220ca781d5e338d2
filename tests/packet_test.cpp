// Packet reader: header fields, every part of the adaptation field, and hostile lengths.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "builder.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

using tsb::Bytes;

// Packet bytes in a heap block of exactly 188 bytes, so that a read past the packet is caught
// by the address sanitizer.
std::unique_ptr<uint8_t[]> Exact(const tsb::Packet& p) {
    std::unique_ptr<uint8_t[]> b(new uint8_t[188]);
    std::memcpy(b.get(), p.data(), 188);
    return b;
}

TS_Packet Filled(uint8_t pattern) {
    TS_Packet r;
    std::memset(&r, pattern, sizeof r);
    return r;
}

TEST(PacketHeader, FieldsFromBothBitPatterns) {
    tsb::Packet p{};
    p.fill(0xFF);
    p[0] = 0x47, p[4] = 0;  // an adaptation field of length 0 where one is announced
    // Bytes 1 to 3, then TEI, PUSI, TP, PID, TSC, AFC, CN.
    const struct { uint8_t b1, b2, b3; int tei, pusi, tp, pid, tsc, afc, cn; } rows[] = {
        {0x5F, 0xFF, 0x3A, 0, 1, 0, 0x1FFF, 0, 3, 10}, {0xA0, 0x00, 0xC5, 1, 0, 1, 0, 3, 0, 5}, {0x01, 0x23, 0x10, 0, 0, 0, 0x123, 0, 1, 0}};
    for (const auto& r : rows) {
        p[1] = r.b1, p[2] = r.b2, p[3] = r.b3;
        auto b = Exact(p);
        TS_Packet k = Filled(0);
        TS_Header h = k;
        ASSERT_EQ(TS_Packet_Get(&k, b.get()), 0);
        ASSERT_EQ(TS_Header_Get(&h, b.get()), 0);
        for (const TS_Header* x : {static_cast<const TS_Header*>(&k), static_cast<const TS_Header*>(&h)}) {
            EXPECT_EQ(x->sync_byte, 0x47);
            EXPECT_EQ((std::vector<int>{x->transport_error_indicator, x->payload_unit_start_indicator, x->transport_priority, x->PID,
                                        x->transport_scrambling_control, x->adaptation_field_control, x->continuity_counter}),
                      (std::vector<int>{r.tei, r.pusi, r.tp, r.pid, r.tsc, r.afc, r.cn}));
        }
    }
}

TEST(PacketHeader, BadSyncAndNullLeaveRecordUntouched) {
    tsb::Packet p = tsb::MakePacket({.pid = 0x100, .afc = 3}, {}, tsb::EncodeAdaptation({.stuffing = 10}));
    p[0] = 0x48;
    auto b = Exact(p);
    TS_Packet r = Filled(0xCD), before = Filled(0xCD);
    EXPECT_EQ(TS_Packet_Get(&r, b.get()), -2);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
    EXPECT_EQ(TS_Packet_Get(nullptr, b.get()), -1);
    EXPECT_EQ(TS_Packet_Get(&r, nullptr), -1);
    EXPECT_EQ(TS_Packet_GetAdaptationField(nullptr, &r, b.get()), -1);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
    TS_Header h;
    std::memset(&h, 0xCD, sizeof h);
    EXPECT_EQ(TS_Header_Get(&h, b.get()), -2);
    EXPECT_EQ(h.PID, 0xCDCD);
}

TEST(PacketHeader, NoAdaptationFieldKeepsTheOldOne) {
    // Payload bytes that would read as a full adaptation field if taken for one.
    tsb::Packet p = tsb::MakePacket({.pid = 0x44, .afc = 1}, Bytes(184, 0xFF));
    auto b = Exact(p);
    TS_Packet r = Filled(0xAB);
    const TS_AdaptationField old = r.adaptation_field;
    ASSERT_EQ(TS_Packet_Get(&r, b.get()), 0);
    EXPECT_EQ(r.PID, 0x44);
    EXPECT_EQ(std::memcmp(&r.adaptation_field, &old, sizeof old), 0);
    // The field decoder refuses such a packet and writes nothing.
    EXPECT_EQ(TS_Packet_GetAdaptationField(&r.adaptation_field, &r, b.get()), -2);
    EXPECT_EQ(std::memcmp(&r.adaptation_field, &old, sizeof old), 0);

    // TS_Header_Get on a packet with an adaptation field leaves that part alone as well.
    tsb::Packet q = tsb::MakePacket({.pid = 0x45, .afc = 3}, {}, tsb::EncodeAdaptation({.pcr = {{1, 2}}}));
    auto c = Exact(q);
    ASSERT_EQ(TS_Header_Get(&r, c.get()), 0);
    EXPECT_EQ(r.PID, 0x45);
    EXPECT_EQ(std::memcmp(&r.adaptation_field, &old, sizeof old), 0);
}

TEST(AdaptationField, PcrFromHandWrittenBytes) {
    // Length 7, PCR_flag only, PCR bytes 00 00 00 01 FF 2C.
    tsb::Packet p = tsb::MakePacket({.afc = 2}, {}, {7, 0x10, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x2C});
    auto b = Exact(p);
    TS_Packet r = Filled(0);
    ASSERT_EQ(TS_Packet_Get(&r, b.get()), 0);
    const TS_AdaptationField& a = r.adaptation_field;
    EXPECT_EQ(a.adaptation_field_length, 7);
    EXPECT_EQ(a.PCR_flag, 1);
    EXPECT_EQ(a.OPCR_flag, 0);
    EXPECT_EQ(a.program_clock_reference_base, 3u);
    EXPECT_EQ(a.PCR_reserved, 63);
    EXPECT_EQ(a.program_clock_reference_extension, 300);
    EXPECT_EQ(a.stuffing_length, 0);
    EXPECT_TRUE(TS_Packet_HasPCR(b.get()));
}

TEST(AdaptationField, EveryPartInOrder) {
    tsb::Adaptation ad{.discontinuity = true,
                       .random_access = false,
                       .es_priority = true,
                       .pcr = {{0x1ABCDEF01ull, 0x1AB}},  // 33-bit base, 9-bit extension
                       .opcr = {{0x0FEDCBA98ull, 0x0FF}},
                       .splice_countdown = 0xFE,
                       .private_data = Bytes{0x11, 0x22, 0x33},
                       // flags (ltw, piecewise, seamless, reserved 11111), ltw, piecewise, seamless,
                       // then two reserved bytes.
                       .extension = Bytes{0xFF, 0x92, 0x34, 0xEA, 0xBC, 0xDE, 0x2F, 0x00, 0x01, 0x00,
                                          0x0B, 0xAA, 0xBB},
                       .stuffing = 5};
    tsb::Packet p = tsb::MakePacket({.pid = 0x1FF, .afc = 2}, {}, tsb::EncodeAdaptation(ad));
    auto b = Exact(p);
    TS_Packet r = Filled(0);
    ASSERT_EQ(TS_Packet_Get(&r, b.get()), 0);
    const TS_AdaptationField& a = r.adaptation_field;
    EXPECT_EQ(a.adaptation_field_length, 1 + 6 + 6 + 1 + 4 + 14 + 5);
    EXPECT_EQ(a.discontinuity_indicator, 1);
    EXPECT_EQ(a.random_access_indicator, 0);
    EXPECT_EQ(a.elementary_stream_priority_indicator, 1);
    EXPECT_EQ(a.program_clock_reference_base, 0x1ABCDEF01ull);
    EXPECT_EQ(a.PCR_reserved, 63);
    EXPECT_EQ(a.program_clock_reference_extension, 0x1AB);
    EXPECT_EQ(a.original_program_clock_reference_base, 0x0FEDCBA98ull);
    EXPECT_EQ(a.original_program_clock_reference_extension, 0x0FF);
    EXPECT_EQ(a.splice_countdown, 0xFE);
    ASSERT_EQ(a.transport_private_data_length, 3);
    EXPECT_EQ(a.private_data_byte[0], 0x11);
    EXPECT_EQ(a.private_data_byte[2], 0x33);
    EXPECT_EQ(a.adaptation_field_extension_length, 13);
    EXPECT_EQ(a.ltw_flag, 1);
    EXPECT_EQ(a.piecewise_rate_flag, 1);
    EXPECT_EQ(a.seamless_splice_flag, 1);
    EXPECT_EQ(a.extension_reserved, 0x1F);
    EXPECT_EQ(a.ltw_valid_flag, 1);
    EXPECT_EQ(a.ltw_offset, 0x1234);
    EXPECT_EQ(a.piecewise_rate_reserved, 3);
    EXPECT_EQ(a.piecewise_rate, 0x2ABCDEu);
    EXPECT_EQ(a.splice_type, 2);
    EXPECT_EQ(a.DTS_next_AU, 7ull * (1ull << 30) + 5);
    EXPECT_EQ(a.marker_bit_1, 1);
    EXPECT_EQ(a.marker_bit_2, 1);
    EXPECT_EQ(a.marker_bit_3, 1);
    ASSERT_EQ(a.extension_reserved_length, 2);
    EXPECT_EQ(a.extension_reserved_byte[0], 0xAA);
    EXPECT_EQ(a.extension_reserved_byte[1], 0xBB);
    ASSERT_EQ(a.stuffing_length, 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(a.stuffing_byte[i], 0xFF);
}

TEST(AdaptationField, StuffingCountsAndAbsentPartsKeepOldValues) {
    // PCR, splice countdown and two private bytes in a field of length 12: one stuffing byte.
    tsb::Packet p = tsb::MakePacket(
        {.afc = 3}, {0x99},
        tsb::EncodeAdaptation({.pcr = {{5, 6}}, .splice_countdown = 3, .private_data = Bytes{1, 2}, .stuffing = 1}));
    auto b = Exact(p);
    TS_Packet r = Filled(0x5A);
    ASSERT_EQ(TS_Packet_Get(&r, b.get()), 0);
    EXPECT_EQ(r.adaptation_field.adaptation_field_length, 12);
    EXPECT_EQ(r.adaptation_field.stuffing_length, 1);
    EXPECT_EQ(r.adaptation_field.program_clock_reference_base, 5u);
    EXPECT_EQ(r.adaptation_field.splice_countdown, 3);
    // OPCR and extension were absent: their fields keep what the record held.
    EXPECT_EQ(r.adaptation_field.original_program_clock_reference_extension, 0x5A5A);
    EXPECT_EQ(r.adaptation_field.ltw_offset, 0x5A5A);

    // Length 183 with no flags: 182 stuffing bytes, packet bytes 6 to 187.
    tsb::Packet q{};
    q.fill(0);
    tsb::WriteHeader(q.data(), {.afc = 2});
    q[4] = 183;
    q[5] = 0;
    for (int i = 6; i < 188; ++i) q[i] = static_cast<uint8_t>(i);
    auto c = Exact(q);
    ASSERT_EQ(TS_Packet_Get(&r, c.get()), 0);
    ASSERT_EQ(r.adaptation_field.stuffing_length, 182);
    EXPECT_EQ(std::memcmp(r.adaptation_field.stuffing_byte, c.get() + 6, 182), 0);
    EXPECT_FALSE(TS_Packet_HasPCR(c.get()));
}

TEST(AdaptationField, LengthZeroReadsNoFlags) {
    // A one-byte adaptation field; byte 5 is payload and must not be taken for flags.
    tsb::Packet p = tsb::MakePacket({.afc = 3}, Bytes(183, 0xFF), {0});
    auto b = Exact(p);
    TS_Packet r = Filled(0);
    std::memset(r.adaptation_field.stuffing_byte, 0xEE, 188);
    ASSERT_EQ(TS_Packet_Get(&r, b.get()), 0);
    const TS_AdaptationField& a = r.adaptation_field;
    EXPECT_EQ(a.adaptation_field_length, 0);
    EXPECT_EQ(a.PCR_flag, 0);
    EXPECT_EQ(a.transport_private_data_flag, 0);
    EXPECT_EQ(a.adaptation_field_extension_flag, 0);
    EXPECT_EQ(a.stuffing_length, 0);
    EXPECT_EQ(a.stuffing_byte[0], 0xEE);
    EXPECT_FALSE(TS_Packet_HasPCR(b.get()));
}

TEST(AdaptationField, HasPcrNeedsFieldLengthAndFlag) {
    auto with = [](uint8_t afc, Bytes af) { return Exact(tsb::MakePacket({.afc = afc}, {}, af)); };
    EXPECT_TRUE(TS_Packet_HasPCR(with(2, tsb::EncodeAdaptation({.pcr = {{1, 1}}})).get()));
    EXPECT_TRUE(TS_Packet_HasPCR(with(3, tsb::EncodeAdaptation({.pcr = {{1, 1}}})).get()));
    // PCR_flag set but the field too short to hold a PCR.
    EXPECT_FALSE(TS_Packet_HasPCR(with(2, {6, 0x10, 0, 0, 0, 0, 0}).get()));
    EXPECT_FALSE(TS_Packet_HasPCR(with(2, tsb::EncodeAdaptation({.stuffing = 6})).get()));
    // The same bytes as payload of a packet without adaptation field.
    tsb::Packet p = tsb::MakePacket({.afc = 1}, tsb::EncodeAdaptation({.pcr = {{1, 1}}}));
    EXPECT_FALSE(TS_Packet_HasPCR(Exact(p).get()));
}

// Every adaptation_field_length with every flag combination over fillers that make every
// inner length maximal: the decoder stays inside the packet (checked by the sanitizer on the
// exact 188-byte block) and never claims more bytes than its arrays hold.
TEST(AdaptationField, HostileLengthsStayInsideThePacket) {
    for (uint8_t filler : {uint8_t{0xFF}, uint8_t{0x00}, uint8_t{0xB7}}) {
        for (int len = 0; len < 256; ++len) {
            for (int flags = 0; flags < 256; ++flags) {
                std::unique_ptr<uint8_t[]> b(new uint8_t[188]);
                std::memset(b.get(), filler, 188);
                tsb::WriteHeader(b.get(), {.pid = 0x31, .afc = static_cast<uint8_t>(2 + (flags & 1))});
                b[4] = static_cast<uint8_t>(len);
                b[5] = static_cast<uint8_t>(flags);
                TS_Packet r = Filled(0);
                ASSERT_EQ(TS_Packet_Get(&r, b.get()), 0);
                const TS_AdaptationField& a = r.adaptation_field;
                ASSERT_LE(a.transport_private_data_length, 188) << len << " " << flags;
                ASSERT_LE(a.extension_reserved_length, 188) << len << " " << flags;
                ASSERT_LE(a.stuffing_length, 188) << len << " " << flags;
                // What is reported held must be packet bytes: no part starts before byte 6.
                ASSERT_LE(a.stuffing_length, 182) << len << " " << flags;
            }
        }
    }
}

}  // namespace
