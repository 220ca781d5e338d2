// Decoder state containers, the stream buffer, and the packet scan over files.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <unistd.h>

#include "builder.h"
#include "files.h"
#include "core/scan.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
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
    int32_t r = ts_detail::ScanFile(c, fd, "stream", [&](const ts_detail::ScanPacket& p) -> int32_t {
        seen.push_back({p.index, p.byte_offset, p.unit_size, Bytes(p.bytes, p.bytes + 188), p.header.PID});
        return static_cast<int>(seen.size()) == stop_after ? 42 : 0;
    });
    ::close(fd);
    if (result) *result = r;
    return seen;
}

// The unit of packet `n` in a file of `unit`-byte units: a 4-byte header in front (192) or a
// 16-byte trailer behind (204), neither holding 0x47.
Bytes Unit(uint32_t n, uint32_t unit) {
    const Packet p = Numbered(n);
    Bytes u;
    if (unit == 192) u = {0x00, 0x01, 0x02, static_cast<uint8_t>(n)};
    u.insert(u.end(), p.begin(), p.end());
    if (unit == 204) u.resize(u.size() + 16, static_cast<uint8_t>(0xA0 + n % 16));
    return u;
}

// Damaged layouts after eight clean packets (the unit is decided on them), for each unit size:
// the packets the scan must hand out, in order, and the damage it must count (-1: not checked).
TEST(Scan, ResynchronisationByConfirmedStarts) {
    struct Piece { int packet; uint32_t keep; Bytes junk; };  // keep 0: the whole unit
    auto P = [](int n, uint32_t keep = 0) { return Piece{n, keep, {}}; };
    auto J = [](size_t n, uint8_t byte = 0x00) { return Piece{-1, 0, Bytes(n, byte)}; };
    auto nine_47 = [] { Bytes b(9, 0x11); b[4] = 0x47; return Piece{-1, 0, b}; };
    struct Row {
        const char* what;
        std::vector<Piece> front, after;  // around the eight clean packets 0 to 7
        std::vector<int> expect;
        int skipped, dropped, tail;
    };
    const Row rows[] = {
        {"junk in front, between packets, and a partial tail", {J(5)},
         {J(3), P(8), P(9), P(10), J(200), P(11), P(12), P(13, 150)},
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 208, 0, 150},
        {"a packet that lost bytes is dropped, not the next", {}, {P(8, 100), P(9), P(10), P(11)},
         {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11}, 0, 1, 0},
        {"a lone 0x47 of payload is never taken for a packet", {}, {P(8, 150), P(99), P(10), P(11)},
         {0, 1, 2, 3, 4, 5, 6, 7, 99, 10, 11}, 0, 1, 0},
        {"a 0x47 inserted after a packet keeps it", {}, {J(1, 0x47), P(8), P(9), P(10)},
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, -1, -1, 0},
        {"junk holding a 0x47 between packets", {}, {nine_47(), P(8), P(9), P(10)},
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, -1, -1, 0},
        {"a junk tail shorter than a unit", {}, {J(50)}, {0, 1, 2, 3, 4, 5, 6, 7}, 50, 0, 0},
        {"0x47 bytes inside a packet followed by junk", {}, {P(98), J(5), P(9), P(10), P(11)},
         {0, 1, 2, 3, 4, 5, 6, 7, 98, 9, 10, 11}, 5, 0, 0},
    };
    // Also behind more clean packets than the packet size is decided on, read a few bytes at a
    // time as a pipe may give them: the stream buffer then moves at nearly every step of a
    // search.
    static ts_detail::ReadFunction trickle = [](int fd, void* buffer, size_t length) {
        return ::read(fd, buffer, length < 61 ? length : 61);
    };
    for (const bool small_reads : {false, true})
    for (const uint32_t unit : {188u, 192u, 204u}) {
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(r.what) + ", unit " + std::to_string(unit) + (small_reads ? ", small reads" : ""));
            ts_detail::SetReadFunction(small_reads ? trickle : nullptr);
            Bytes file;
            auto make = [unit](int n) {
                if (n == 98) {  // packet 8 with 0x47 in its payload
                    Bytes u = Unit(8, unit);
                    u[TS_UnitLead(unit) + 10] = 0x47;
                    u[TS_UnitLead(unit) + 120] = 0x47;
                    return u;
                }
                if (n != 99) return Unit(static_cast<uint32_t>(n), unit);
                Bytes u = Unit(9, unit);  // packet 9 with 0x47 in its payload
                u[TS_UnitLead(unit) + 60] = 0x47;
                u[TS_UnitLead(unit) + 100] = 0x47;
                return u;
            };
            auto put = [&](const Piece& piece) {
                if (piece.packet < 0) return file.insert(file.end(), piece.junk.begin(), piece.junk.end()), void();
                const Bytes u = make(piece.packet);
                file.insert(file.end(), u.begin(), u.begin() + (piece.keep ? piece.keep : u.size()));
            };
            std::vector<int> expect;
            for (int n = 1000; small_reads && n < 2500; ++n) expect.push_back(n), put(P(n));
            expect.insert(expect.end(), r.expect.begin(), r.expect.end());
            for (const Piece& p : r.front) put(p);
            for (int n = 0; n < 8; ++n) put(P(n));
            for (const Piece& p : r.after) put(p);
            TS_InitialiseSimple(Simple());
            int32_t result = -1;
            const auto seen = Scan(Simple(), file, &result);
            ts_detail::SetReadFunction(nullptr);
            EXPECT_EQ(result, 0);
            ASSERT_EQ(seen.size(), expect.size());
            for (size_t i = 0; i < seen.size(); ++i) {
                const Bytes want = make(expect[i]);
                EXPECT_EQ(seen[i].unit_size, unit);
                EXPECT_EQ(seen[i].index, i);
                EXPECT_EQ(seen[i].bytes, Bytes(want.begin() + TS_UnitLead(unit), want.begin() + TS_UnitLead(unit) + 188)) << i;
                EXPECT_EQ(Bytes(file.begin() + static_cast<long>(seen[i].offset),
                                file.begin() + static_cast<long>(seen[i].offset) + TS_UnitLead(unit) + 188),
                          Bytes(want.begin(), want.begin() + TS_UnitLead(unit) + 188)) << i;
            }
            const TS_Damage* d = TS_GetDamage();
            if (r.skipped >= 0) { EXPECT_EQ(d->bytes_skipped, uint64_t(r.skipped)); }
            if (r.dropped >= 0) { EXPECT_EQ(d->packets_dropped, uint64_t(r.dropped)); }
            EXPECT_EQ(d->incomplete_tail, uint64_t(r.tail));
        }
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

TEST(Scan, RsUnitsRecognisedAnd188NeverTakenForThem) {
    Bytes rs;
    for (uint32_t i = 0; i < 12; ++i) {
        const Bytes u = Unit(i, 204);
        rs.insert(rs.end(), u.begin(), u.end());
    }
    EXPECT_EQ(ts_detail::DetectUnitSize(rs.data(), rs.size()), 204u);
    EXPECT_EQ(ts_detail::DetectUnitSize(rs.data(), 408), 204u);  // two units suffice in a short input
    TS_InitialiseSimple(Simple());
    auto seen = Scan(Simple(), rs);
    ASSERT_EQ(seen.size(), 12u);
    for (uint32_t i = 0; i < 12; ++i) {
        EXPECT_EQ(seen[i].unit_size, 204u);
        EXPECT_EQ(seen[i].offset, 204u * i);
        const Packet want = Numbered(i);
        EXPECT_EQ(seen[i].bytes, Bytes(want.begin(), want.end())) << i;
    }
    // A 188-byte stream with 0x47 wherever a 204-byte stride from its first byte would look:
    // still 188.
    std::vector<Packet> pkts;
    for (uint32_t i = 0; i < 12; ++i) pkts.push_back(Numbered(i));
    Bytes file = tsb::Join(pkts);
    for (uint32_t k = 1; k < 11; ++k)
        if ((204 * k) % 188 >= 4) file[204 * k] = 0x47;
    EXPECT_EQ(ts_detail::DetectUnitSize(file.data(), file.size()), 188u);
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
