// CRC-32/MPEG-2: the table and GetCRC32 against catalogue values and a bitwise computation.
#include <gtest/gtest.h>

#include <random>

#include "builder.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

using tsb::Bytes;

TEST(Crc32, CatalogueCheckValueAndKnownPat) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(GetCRC32(0xFFFFFFFFu, check, 9), 0x0376E6E7u);  // CRC-32/MPEG-2 check value
    // The PAT a common muxer writes for one program on PMT PID 0x1000.
    const uint8_t pat[] = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                           0x00, 0x01, 0xF0, 0x00, 0x2A, 0xB1, 0x04, 0xB2};
    EXPECT_EQ(GetCRC32(0xFFFFFFFFu, pat, 12), 0x2AB104B2u);
    EXPECT_EQ(GetCRC32(0xFFFFFFFFu, pat, 16), 0u);
    Bytes bad(pat, pat + 16);
    bad[7] ^= 0x01;
    EXPECT_NE(GetCRC32(0xFFFFFFFFu, bad.data(), 16), 0u);
}

TEST(Crc32, TableEntries) {
    EXPECT_EQ(g_lu32CRC32Table[0], 0u);
    EXPECT_EQ(g_lu32CRC32Table[1], 0x04C11DB7u);
    for (uint32_t i = 0; i < 256; ++i) {
        const uint8_t b = static_cast<uint8_t>(i);
        // One byte through the bitwise division from a zero register is the table entry.
        EXPECT_EQ(g_lu32CRC32Table[i], tsb::Crc32(&b, 1, 0)) << i;
    }
    static_assert(g_lu32CRC32Table[1] == 0x04C11DB7u, "the table is built at compile time");
}

TEST(Crc32, StartValuesAndSplitting) {
    std::mt19937 rng(1234);
    Bytes data(5000);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(GetCRC32(0x12345678u, data.data(), 0), 0x12345678u);
    const uint32_t whole = GetCRC32(0xFFFFFFFFu, data.data(), data.size());
    EXPECT_EQ(whole, tsb::Crc32(data));
    for (size_t cut : {size_t{1}, size_t{187}, size_t{4999}}) {
        uint32_t first = GetCRC32(0xFFFFFFFFu, data.data(), cut);
        EXPECT_EQ(GetCRC32(first, data.data() + cut, data.size() - cut), whole) << cut;
    }
    // Another start value gives another result.
    EXPECT_NE(GetCRC32(0u, data.data(), data.size()), whole);
}

}  // namespace
