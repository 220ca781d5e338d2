// Decoder state containers, the stream buffer, and the packet scan over files.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <unistd.h>

#include "builder.h"
#include "files.h"
#include "scan.h"
#include "ts.h"

namespace {

using tsb::Bytes;
using tsb::Packet;

// The containers are far too large for a stack; one of each serves every test.
TS_Data* Data() {
    static TS_Data* d = new TS_Data;
    return d;
}
TS_SimpleData* Simple() {
    static TS_SimpleData* d = new TS_SimpleData;
    return d;
}

void ExpectFresh(const TS_PreSection& p) {
    EXPECT_EQ(p.complete, 1);
    EXPECT_EQ(p.total_length, 0);
    EXPECT_EQ(p.filled_length, 0);
    EXPECT_EQ(p.last_continuity_counter, -1);
    for (uint8_t b : p.buffer) ASSERT_EQ(b, 0);
}

TEST(Initialise, EverythingButTheStreamBytesIsReset) {
    TS_Data* d = Data();
    std::memset(static_cast<void*>(d), 0xAB, sizeof *d);
    ASSERT_EQ(TS_Initialise(d), 0);
    EXPECT_EQ(d->u64Size + d->u64Offset, 0u);
    for (const TS_PreSection* p : {&d->tPATPreSection, &d->tCATPreSection, &d->tPrivatePreSection, &d->tEMMPreSection}) ExpectFresh(*p);
    for (const TS_PreSection& p : d->ltPMTPreSection) ExpectFresh(p);
    EXPECT_EQ(d->tPAT.decoded + d->tPAT.program_count + d->tCAT.decoded + d->tPrivateSection.decoded + d->tEMMSection.decoded, 0);
    for (const TS_PMT& p : d->ltPMT) EXPECT_EQ(p.decoded, 0);
    EXPECT_EQ(d->ltPCR[15].program_clock_reference_base, 0u);
    EXPECT_EQ(d->u16PIDCount, 0);
    for (uint16_t pid : d->lu16PIDList) ASSERT_EQ(pid, 0);

    TS_SimpleData* s = Simple();
    std::memset(static_cast<void*>(s), 0xAB, sizeof *s);
    ASSERT_EQ(TS_InitialiseSimple(s), 0);
    EXPECT_EQ(s->u64Size + s->u64Offset, 0u);
    for (const TS_PreSection* p : {&s->tPATPreSection, &s->tPMTPreSection, &s->tPrivatePreSection}) ExpectFresh(*p);
    EXPECT_EQ(s->tPAT.decoded + s->tPMT.decoded + s->tPMT.stream_count + s->tPrivateSection.decoded, 0);
    EXPECT_EQ(TS_Initialise(nullptr), -1);
    EXPECT_EQ(TS_InitialiseSimple(nullptr), -1);
}

TEST(AddStream, AppendsBehindTheUnconsumedTail) {
    TS_Data* d = Data();
    TS_Initialise(d);
    Bytes a(1000), b(500);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(0x80 ^ i);
    ASSERT_EQ(TS_AddStream(d, a.data(), a.size()), 0);
    EXPECT_EQ(d->u64Size, 1000u);
    d->u64Offset = 900;  // 100 bytes not yet consumed
    ASSERT_EQ(TS_AddStream(d, b.data(), b.size()), 0);
    EXPECT_EQ(d->u64Offset, 0u);
    ASSERT_EQ(d->u64Size, 600u);
    EXPECT_EQ(Bytes(d->lu8Stream, d->lu8Stream + 100), Bytes(a.begin() + 900, a.end()));
    EXPECT_EQ(Bytes(d->lu8Stream + 100, d->lu8Stream + 600), b);

    // Length 0 only moves the tail to the front.
    d->u64Offset = 550;
    ASSERT_EQ(TS_AddStream(d, b.data(), 0), 0);
    EXPECT_EQ(d->u64Offset, 0u);
    ASSERT_EQ(d->u64Size, 50u);
    EXPECT_EQ(Bytes(d->lu8Stream, d->lu8Stream + 50), Bytes(b.end() - 50, b.end()));

    EXPECT_EQ(TS_AddStream(nullptr, b.data(), 1), -1);
    EXPECT_EQ(TS_AddStream(d, nullptr, 1), -1);
    EXPECT_EQ(TS_AddStream(d, nullptr, 0), -1);
    EXPECT_EQ(d->u64Size, 50u);
}

TEST(AddStream, ExactCapacity) {
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[TS_READ_CHUNK]);
    std::memset(chunk.get(), 0x47, TS_READ_CHUNK);
    chunk[TS_READ_CHUNK - 1] = 0x99;
    TS_SimpleData* s = Simple();
    // One read chunk while 188 bytes remain: fits exactly.
    TS_InitialiseSimple(s);
    ASSERT_EQ(TS_AddStreamSimple(s, chunk.get(), 1000), 0);
    s->u64Offset = 1000 - 188;
    ASSERT_EQ(TS_AddStreamSimple(s, chunk.get(), TS_READ_CHUNK), 0);
    EXPECT_EQ(s->u64Size, TS_STREAM_CAPACITY);
    EXPECT_EQ(s->lu8Stream[TS_STREAM_CAPACITY - 1], 0x99);
    // With 189 remaining it is refused and nothing changes.
    s->u64Offset = s->u64Size - 189;
    const uint64_t offset = s->u64Offset;
    EXPECT_EQ(TS_AddStreamSimple(s, chunk.get(), TS_READ_CHUNK), -2);
    EXPECT_EQ(s->u64Offset, offset);
    EXPECT_EQ(s->u64Size, TS_STREAM_CAPACITY);

    // A length so large that remaining + length wraps around is refused as well.
    TS_Data* d = Data();
    TS_Initialise(d);
    ASSERT_EQ(TS_AddStream(d, chunk.get(), 10), 0);
    EXPECT_EQ(TS_AddStream(d, chunk.get(), std::numeric_limits<uint64_t>::max() - 5), -2);
    EXPECT_EQ(TS_AddStreamSimple(s, chunk.get(), std::numeric_limits<uint64_t>::max()), -2);
    EXPECT_EQ(d->u64Size, 10u);
}

// ---------------------------------------------------------------------------------------------
// The packet scan
// ---------------------------------------------------------------------------------------------

// A recognisable packet: PID and counter and payload derived from its number.
Packet Numbered(uint32_t n) {
    Bytes payload(184);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>((n * 31 + i) & 0x3F);  // never 0x47
    return tsb::MakePacket({.pid = static_cast<uint16_t>(0x20 + n % 0x1000), .cc = static_cast<uint8_t>(n & 15)}, payload);
}

Bytes AsBytes(const Packet& p) { return Bytes(p.begin(), p.end()); }

struct Seen {
    uint64_t index, offset;
    uint32_t unit_size;
    Bytes bytes;  // the 188-byte packet
    uint16_t pid;
};

template <class Container>
std::vector<Seen> Scan(Container* c, const Bytes& file, int32_t* result = nullptr, int stop_after = -1) {
    testfiles::ScratchFile tmp(file);
    int fd = ::open(tmp.path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    std::vector<Seen> seen;
    int32_t r = ts_detail::ScanFile(c, fd, [&](const ts_detail::ScanPacket& p) -> int32_t {
        seen.push_back({p.index, p.byte_offset, p.unit_size, Bytes(p.bytes, p.bytes + 188), p.header.PID});
        return static_cast<int>(seen.size()) == stop_after ? 42 : 0;
    });
    ::close(fd);
    if (result) *result = r;
    return seen;
}

TEST(Scan, JunkBeforeAndBetweenPacketsAndThePartialTail) {
    const Packet p4 = Numbered(4);
    Bytes file = tsb::Cat({Bytes{0x00, 0x11, 0x22, 0x33, 0x44}, AsBytes(Numbered(0)),
                           Bytes{0xAA, 0xBB, 0xCC}, AsBytes(Numbered(1)),
                           AsBytes(Numbered(2)), Bytes(200, 0x00),
                           AsBytes(Numbered(3)),
                           Bytes(p4.begin(), p4.begin() + 187)});
    TS_Initialise(Data());
    int32_t r = -1;
    auto seen = Scan(Data(), file, &r);
    EXPECT_EQ(r, 0);
    ASSERT_EQ(seen.size(), 4u);
    const uint64_t offsets[] = {5, 5 + 188 + 3, 5 + 188 + 3 + 188, 5 + 188 + 3 + 376 + 200};
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(seen[i].index, i);
        EXPECT_EQ(seen[i].offset, offsets[i]);
        EXPECT_EQ(seen[i].unit_size, 188u);
        EXPECT_EQ(seen[i].pid, 0x20 + i);
        Packet want = Numbered(i);
        EXPECT_EQ(seen[i].bytes, Bytes(want.begin(), want.end())) << i;
    }
}

TEST(Scan, ShortInputsAndEarlyStop) {
    TS_InitialiseSimple(Simple());
    EXPECT_TRUE(Scan(Simple(), {}).empty());
    Packet p = Numbered(0);
    EXPECT_TRUE(Scan(Simple(), Bytes(p.begin(), p.begin() + 187)).empty());
    TS_InitialiseSimple(Simple());
    EXPECT_EQ(Scan(Simple(), Bytes(p.begin(), p.end())).size(), 1u);

    std::vector<Packet> pkts;
    for (uint32_t i = 0; i < 10; ++i) pkts.push_back(Numbered(i));
    TS_InitialiseSimple(Simple());
    int32_t r = 0;
    auto seen = Scan(Simple(), tsb::Join(pkts), &r, 3);
    EXPECT_EQ(r, 42);
    EXPECT_EQ(seen.size(), 3u);
}

// A file of a little more than 32 MiB, laid out so that one packet starts 100 bytes before the
// 32 MiB mark: every packet is handled once, whole and in order, the straddling one included.
TEST(Scan, PacketStraddlingTheChunkBoundary) {
    const uint64_t boundary = TS_READ_CHUNK;
    const uint64_t lead = (boundary - 100) % 188;  // junk bytes before the first packet
    const uint32_t count = static_cast<uint32_t>((boundary + 188 * 50) / 188);
    Bytes file(lead, 0x00);
    file.reserve(lead + 188ull * count);
    for (uint32_t i = 0; i < count; ++i) {
        Packet p = Numbered(i);
        file.insert(file.end(), p.begin(), p.end());
    }
    TS_Initialise(Data());
    auto seen = Scan(Data(), file);
    ASSERT_EQ(seen.size(), count);
    bool straddled = false;
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_EQ(seen[i].index, i);
        ASSERT_EQ(seen[i].offset, lead + 188ull * i);
        if (seen[i].offset == boundary - 100) {
            straddled = true;
            Packet want = Numbered(i);
            EXPECT_EQ(seen[i].bytes, Bytes(want.begin(), want.end()));
        }
        ASSERT_EQ(seen[i].pid, 0x20 + i % 0x1000) << i;
    }
    EXPECT_TRUE(straddled);
}

TEST(Scan, M2tsRecognised) {
    std::vector<Packet> pkts;
    for (uint32_t i = 0; i < 12; ++i) pkts.push_back(Numbered(i));
    Bytes m2ts = tsb::JoinM2ts(pkts);
    EXPECT_EQ(ts_detail::DetectUnitSize(m2ts.data(), m2ts.size()), 192u);
    EXPECT_EQ(ts_detail::DetectUnitSize(m2ts.data(), 384), 192u);  // two units suffice
    TS_InitialiseSimple(Simple());
    auto seen = Scan(Simple(), m2ts);
    ASSERT_EQ(seen.size(), 12u);
    for (uint32_t i = 0; i < 12; ++i) {
        EXPECT_EQ(seen[i].unit_size, 192u);
        EXPECT_EQ(seen[i].offset, 192u * i);
        EXPECT_EQ(seen[i].bytes, Bytes(pkts[i].begin(), pkts[i].end())) << i;
    }
}

TEST(Scan, PayloadSyncBytesNeverMakeM2ts) {
    // 0x47 at every position where a 192-byte stride from offset 4 would look for a sync byte.
    std::vector<Packet> pkts;
    for (uint32_t i = 0; i < 12; ++i) {
        Packet p = Numbered(i);
        for (uint32_t k = i; k < 12; ++k) {
            const uint64_t at = 4 + 192ull * k;  // file offset
            if (at / 188 == i && at % 188 >= 4) p[at % 188] = 0x47;
        }
        pkts.push_back(p);
    }
    Bytes file = tsb::Join(pkts);
    for (uint32_t k = 0; k < 8; ++k) ASSERT_EQ(file[4 + 192 * k], 0x47) << k;
    EXPECT_EQ(ts_detail::DetectUnitSize(file.data(), file.size()), 188u);
    TS_InitialiseSimple(Simple());
    auto seen = Scan(Simple(), file);
    ASSERT_EQ(seen.size(), 12u);
    for (const Seen& s : seen) EXPECT_EQ(s.unit_size, 188u);
    EXPECT_EQ(ts_detail::DetectUnitSize(file.data(), 188), 188u);  // a single packet
}

TEST(Scan, JunkInFrontShowingThe192PatternNeverMakesM2ts) {
    // Ten bytes of junk whose byte 6 is 0x47, and payload bytes of 0x47 wherever a 192-byte
    // stride from there lands: the 188-byte stride further on still decides.
    Bytes file(10, 0x00);
    file[6] = 0x47;
    for (uint32_t i = 0; i < 12; ++i) {
        Packet p = Numbered(i);
        file.insert(file.end(), p.begin(), p.end());
    }
    for (uint32_t k = 1; k < 8; ++k) {
        const uint64_t at = 6 + 192ull * k;
        if ((at - 10) % 188 >= 4) file[at] = 0x47;
        ASSERT_EQ(file[at], 0x47) << k;
    }
    EXPECT_EQ(ts_detail::DetectUnitSize(file.data(), file.size()), 188u);
}

// The broadcast recording and its M2TS twin (the same packets, each behind a 4-byte time stamp)
// yield the same packets; the damaged copy, with junk in front, is still read as 188-byte units.
TEST(Scan, RealStreamsAndTheirM2tsTwin) {
    REQUIRE_SHARED_STREAM(ts_path, "broadcast.ts");
    REQUIRE_SHARED_STREAM(m2ts_path, "broadcast.m2ts");
    REQUIRE_SHARED_STREAM(damaged_path, "broadcast-damaged.ts");
    const Bytes ts = testfiles::Read(ts_path), m2ts = testfiles::Read(m2ts_path), damaged = testfiles::Read(damaged_path);
    auto digest = [](const std::vector<Seen>& v) {
        uint32_t crc = 0xFFFFFFFFu;
        for (const Seen& s : v) crc = tsb::Crc32(s.bytes.data(), 188, crc);
        return crc;
    };
    TS_InitialiseSimple(Simple());
    auto a = Scan(Simple(), ts);
    TS_InitialiseSimple(Simple());
    auto b = Scan(Simple(), m2ts);
    ASSERT_EQ(a.size(), ts.size() / 188);
    ASSERT_EQ(b.size(), a.size());
    EXPECT_EQ(b[0].unit_size, 192u);
    EXPECT_EQ(digest(a), digest(b));

    TS_InitialiseSimple(Simple());
    auto c = Scan(Simple(), damaged);
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(c[0].unit_size, 188u);
    EXPECT_GT(c[0].offset, 0u);  // junk in front
    EXPECT_GT(c.size(), a.size() * 9 / 10);
    EXPECT_LE(c.back().offset + 188, damaged.size());
}

}  // namespace
