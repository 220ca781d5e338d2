// PMT survey and split writer: runs, sizes and the exact bytes written, on streams built
// here (where the expected output is a list of input packets) and on the shared streams.
#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

#include "files.h"
#include "mux.h"
#include "core/scan.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

using namespace tsb;
using testfiles::ScratchDir;

namespace {

constexpr uint16_t kPMT = 0x100, kVideo = 0x111, kAudio = 0x112, kAudio2 = 0x113, kPCR = 0x1FF,
                   kECM = 0x130;

Bytes PmtA(uint16_t pcr = kPCR) {
    return PmtSection(1, pcr, CaDescriptor(0x0B00, kECM), {{0x02, kVideo, {}}, {0x04, kAudio, {}}});
}
Bytes PmtB(uint16_t pcr = kPCR) {
    return PmtSection(1, pcr, CaDescriptor(0x0B00, kECM),
                      {{0x02, kVideo, {}}, {0x04, kAudio, {}}, {0x04, kAudio2, LanguageDescriptor({{"eng", 0}})}},
                      1);
}

struct Split {
    ScratchDir dir;
    std::string input;
    explicit Split(const Bytes& file, const std::string& name = "rec.2024.ts") {
        input = (dir / name).string();
        testfiles::Write(input, file);
    }
    std::filesystem::path Name(uint32_t crc) const {
        char name[64];
        std::snprintf(name, sizeof name, "rec.2024_%08X.ts", crc);
        return dir / name;
    }
    Bytes Output(uint32_t crc) const { return testfiles::Read(Name(crc)); }
};

// Runs A, B, A with the PCR on a PID of its own and an ECM PID; SI and null packets around.
struct ABA {
    Mux m;
    std::vector<size_t> a, b;  // expected packets of A's and B's files
    ABA() {
        m.Es(kVideo);  // before any PAT: dropped
        size_t pat = m.Section(0, PatSection(1, {{1, kPMT}}));
        m.Es(kVideo);  // before the PMT: dropped
        size_t pmt = m.Section(kPMT, PmtA());
        a = {pat, pmt};
        for (int i = 0; i < 3; ++i) a.push_back(m.Es(kVideo));
        a.push_back(m.Es(kPCR, true));
        m.Es(0x11);    // SDT: not followed
        m.Es(0x1FFF);  // null
        a.push_back(m.Es(kECM));
        a.push_back(m.Es(kAudio));
        m.Es(kAudio2);  // not in A
        size_t pat2 = m.Section(0, PatSection(1, {{1, kPMT}}));
        pmt = m.Section(kPMT, PmtB());
        b = {pat2, pmt};
        b.push_back(m.Es(kAudio2));
        b.push_back(m.Es(kVideo));
        b.push_back(m.Es(kPCR, true));
        pmt = m.Section(kPMT, PmtB());  // same CRC: the run goes on
        b.push_back(pat2);
        b.push_back(pmt);
        b.push_back(m.Es(kAudio));
        pmt = m.Section(kPMT, PmtA());
        a.push_back(pat2);
        a.push_back(pmt);
        a.push_back(m.Es(kVideo));
        m.Es(kAudio2);  // dropped: A is current
    }
};

TEST(PMTSplit, RunsABAInEveryMode) {
    ABA s;
    Split f(s.m.File());
    static TS_PMTSplitTable table, written;
    ASSERT_EQ(TS_CheckPMTSplit(&table, f.input.c_str()), 0);
    ASSERT_EQ(table.u16Count, 2);
    const uint32_t crcA = TrailingU32(PmtA()), crcB = TrailingU32(PmtB());
    // A's first run: PAT copy, PMT, 3 video, PCR, ECM, audio (8 packets); B's the same size;
    // A again 3. One entry per PMT, with its runs together.
    const struct { uint32_t crc; uint32_t runs; uint64_t packets; } pmts[] = {{crcA, 2, 8 + 3}, {crcB, 1, 8}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(table.ltEntry[i].u32CRC32, pmts[i].crc) << i;
        EXPECT_EQ(table.ltEntry[i].u16Repeat, 0) << i;
        EXPECT_EQ(table.ltEntry[i].u32Runs, pmts[i].runs) << i;
        EXPECT_EQ(table.ltEntry[i].u64Size, pmts[i].packets * 188) << i;
    }
    // -a: each PMT's packets in order.
    ASSERT_EQ(TS_PMTSplitFile(f.input.c_str(), 1, 0, nullptr, &written), 0);
    EXPECT_EQ(written.u16Count, 2);
    EXPECT_EQ(f.Output(crcA), s.m.Pick(s.a));
    EXPECT_EQ(f.Output(crcB), s.m.Pick(s.b));
    // One PMT into a named output, which is truncated on opening, or under the generated name.
    std::string out = (f.dir / "chosen.ts").string();
    testfiles::Write(out, Bytes(100000, 0xAA));
    ASSERT_EQ(TS_PMTSplitFile(f.input.c_str(), 0, crcB, out.c_str()), 0);
    EXPECT_EQ(testfiles::Read(out), s.m.Pick(s.b));
    ASSERT_TRUE(std::filesystem::remove(f.Name(crcA)));
    ASSERT_EQ(TS_PMTSplitFile(f.input.c_str(), 0, crcA, nullptr), 0);
    EXPECT_EQ(f.Output(crcA), s.m.Pick(s.a));
    // A CRC that no PMT carries creates no file.
    ASSERT_EQ(TS_PMTSplitFile(f.input.c_str(), 0, 0x12345678, nullptr, &written), 0);
    EXPECT_EQ(written.u16Count, 0);
    EXPECT_FALSE(std::filesystem::exists(f.Name(0x12345678)));
}

// The survey finds a single run as large as the packets `expect` lists, and -a writes exactly those.
void ExpectOneRun(const Mux& m, const std::vector<size_t>& expect, uint32_t crc) {
    Split f(m.File());
    static TS_PMTSplitTable table;
    ASSERT_EQ(TS_CheckPMTSplit(&table, f.input.c_str()), 0);
    ASSERT_EQ(table.u16Count, 1);
    EXPECT_EQ(table.ltEntry[0].u64Size, expect.size() * 188);
    ASSERT_EQ(TS_PMTSplitFile(f.input.c_str(), 1, 0, nullptr), 0);
    EXPECT_EQ(f.Output(crc), m.Pick(expect));
}

TEST(PMTSplit, PCROnTheVideoPIDIsWrittenAndCountedOnce) {
    Mux m;
    size_t pat = m.Section(0, PatSection(1, {{1, kPMT}}));
    size_t pmt = m.Section(kPMT, PmtA(kVideo));
    ExpectOneRun(m, {pat, pmt, m.Es(kVideo, true), m.Es(kVideo), m.Es(kAudio), m.PcrOnly(kVideo)}, TrailingU32(PmtA(kVideo)));
}

// PCR_PID 0x1FFF says the program has no PCR: null packets are not the program's.
TEST(PMTSplit, NoPCRPIDFollowsNoNullPackets) {
    Mux m;
    size_t pat = m.Section(0, PatSection(1, {{1, kPMT}}));
    size_t pmt = m.Section(kPMT, PmtA(0x1FFF));
    size_t video = m.Es(kVideo);
    m.Es(0x1FFF);
    ExpectOneRun(m, {pat, pmt, video, m.Es(kAudio)}, TrailingU32(PmtA(0x1FFF)));
}

TEST(PMTSplit, SectionSpanningTwoPacketsIsWrittenWhole) {
    // Eighteen audio streams with language descriptors: the section needs two packets.
    std::vector<Stream> streams{{0x1B, kVideo, {}}};
    for (uint16_t i = 0; i < 18; ++i) streams.push_back({0x03, static_cast<uint16_t>(0x200 + i), LanguageDescriptor({{"jpn", 0}})});
    Bytes big = PmtSection(1, kVideo, {}, streams);
    Mux m;
    size_t pat = m.Section(0, PatSection(1, {{1, kPMT}}));
    auto pmt = m.Psi(kPMT, {big});
    ASSERT_EQ(pmt.size(), 2u);
    ExpectOneRun(m, {pat, pmt[0], pmt[1], m.Es(kVideo, true), m.Es(0x211)}, TrailingU32(big));  // 0x211: the 18th audio
}

TEST(PMTSplit, SectionsThatAreNotIntactPMTsNeitherStartARunNorAreWritten) {
    Bytes bad = PmtB();
    bad[bad.size() - 6] ^= 0x01;  // a flipped bit in the stream loop: the CRC no longer checks
    // Another table on the PMT PID with a valid CRC, naming the same streams as B.
    Bytes other = PmtB();
    other[0] = 0xC0;
    FixCrc(other);
    for (const Bytes& section : {bad, other}) {
        Mux m;
        size_t pat = m.Section(0, PatSection(1, {{1, kPMT}}));
        size_t pmt = m.Section(kPMT, PmtA());
        m.Section(kPMT, section);
        std::vector<size_t> expect{pat, pmt, m.Es(kVideo), m.Es(kAudio)};
        m.Es(kAudio2);  // named only by the refused section
        ExpectOneRun(m, expect, TrailingU32(PmtA()));
    }
}

// A PMT section over several packets is written whole once it checks; the packets of the
// program that come between its packets are held and written between them, so a piece keeps
// input order; a packet that ends one section and starts the next of the same PMT is written
// once. A packet shared by sections of two PMTs goes to each PMT's piece.
TEST(PMTSplit, EveryPacketOnceAndInInputOrder) {
    std::vector<Stream> streams{{0x1B, kVideo, {}}};
    for (uint16_t i = 0; i < 18; ++i) streams.push_back({0x03, static_cast<uint16_t>(0x200 + i), LanguageDescriptor({{"jpn", 0}})});
    const Bytes big = PmtSection(1, kVideo, {}, streams);
    streams.push_back({0x03, kAudio, {}});
    const Bytes other = PmtSection(1, kVideo, {}, streams, 3);
    ASSERT_GT(big.size(), 184u);
    for (const bool same : {true, false}) {
        SCOPED_TRACE(same ? "two sections of one PMT" : "sections of two PMTs");
        Mux m;
        const size_t pat = m.Section(0, PatSection(1, {{1, kPMT}}));
        const auto first = m.Psi(kPMT, {big});
        ASSERT_EQ(first.size(), 2u);
        const size_t v1 = m.Es(kVideo);
        // Two sections back to back in three packets, with video packets between them.
        auto q = Packetize({.pid = kPMT, .first_cc = m.cc[kPMT]}, {big, same ? big : other});
        ASSERT_EQ(q.size(), 3u);
        m.cc[kPMT] = static_cast<uint8_t>((m.cc[kPMT] + 3) & 15);
        std::vector<size_t> at, video;
        for (const Packet& p : q) {
            at.push_back(m.packets.size());
            m.packets.push_back(p);
            video.push_back(m.Es(kVideo));
        }
        Split f(m.File());
        static TS_PMTSplitTable table;
        ASSERT_EQ(TS_CheckPMTSplit(&table, f.input.c_str()), 0);
        std::vector<size_t> a{pat, first[0], first[1], v1, pat, at[0], video[0], at[1]};
        std::vector<size_t> b;
        if (same) {
            a.insert(a.end(), {pat, video[1], at[2], video[2]});
        } else {
            a.push_back(video[1]);  // A is current until the section of B is whole
            b = {pat, at[1], at[2], video[2]};
        }
        ASSERT_EQ(table.u16Count, same ? 1 : 2);
        EXPECT_EQ(table.ltEntry[0].u64Size, a.size() * 188);
        if (!same) { EXPECT_EQ(table.ltEntry[1].u64Size, b.size() * 188); }
        ASSERT_EQ(TS_PMTSplitFile(f.input.c_str(), 1, 0, nullptr), 0);
        EXPECT_EQ(f.Output(TrailingU32(big)), m.Pick(a));
        if (!same) { EXPECT_EQ(f.Output(TrailingU32(other)), m.Pick(b)); }
    }
}

// A section given up when the next one starts (here its first packet promises more than ever
// comes): the packets held while it was collected go out before the next section's packets.
TEST(PMTSplit, PacketsHeldForASectionGivenUpKeepTheirPlace) {
    Mux m;
    const size_t pat = m.Section(0, PatSection(1, {{1, kPMT}}));
    const size_t pmt = m.Section(kPMT, PmtA());
    Bytes longer = PmtA();
    SetSectionLength(longer, 400);  // continues, says its header; the next packet starts anew
    m.packets.push_back(PsiStartPacket({.pid = kPMT, .cc = m.cc[kPMT]}, 0, longer));
    m.cc[kPMT] = static_cast<uint8_t>((m.cc[kPMT] + 1) & 15);
    const size_t v1 = m.Es(kVideo), v2 = m.Es(kAudio);
    const size_t again = m.Section(kPMT, PmtA());
    const size_t v3 = m.Es(kVideo);
    ExpectOneRun(m, {pat, pmt, v1, v2, pat, again, v3}, TrailingU32(PmtA()));
}

// A read that fails part-way is reported and fails the split; what was written stays.
ssize_t FailAfter(int fd, void* buffer, size_t length);
uint64_t g_readable = 0;
ssize_t FailAfter(int fd, void* buffer, size_t length) {
    if (g_readable == 0) {
        errno = EIO;
        return -1;
    }
    if (length > g_readable) length = g_readable;
    const ssize_t got = ::read(fd, buffer, length);
    if (got > 0) g_readable -= static_cast<uint64_t>(got);
    if (got > 0 && g_readable % 3 == 1) {  // an interruption first, retried
        static bool interrupted = false;
        interrupted = !interrupted;
        if (interrupted) {
            ::lseek(fd, -got, SEEK_CUR);
            g_readable += static_cast<uint64_t>(got);
            errno = EINTR;
            return -1;
        }
    }
    return got;
}

TEST(PMTSplit, AFailedReadIsReportedAndTheFilesWrittenStay) {
    ABA s;
    Split f(s.m.File());
    static TS_PMTSplitTable table;
    g_readable = 10 * 188;
    ts_detail::SetReadFunction(FailAfter);
    testing::internal::CaptureStderr();
    const int32_t survey = TS_CheckPMTSplit(&table, f.input.c_str());
    g_readable = 10 * 188;
    const int32_t split = TS_PMTSplitFile(f.input.c_str(), 1, 0, nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    ts_detail::SetReadFunction(nullptr);
    EXPECT_EQ(survey, TS_READ_FAILED);
    EXPECT_EQ(split, TS_READ_FAILED);
    EXPECT_EQ(err, "Error: Failed read " + f.input + " (Input/output error).\n"
                   "Error: Failed read " + f.input + " (Input/output error).\n");
    // The first ten packets hold A's first run up to its PCR packet.
    const std::vector<size_t> read(s.a.begin(), s.a.begin() + 6);
    EXPECT_EQ(f.Output(TrailingU32(PmtA())), s.m.Pick(read));
    ASSERT_EQ(table.u16Count, 1);
    EXPECT_EQ(table.ltEntry[0].u64Size, read.size() * 188);
    // Without the failure the same split succeeds.
    EXPECT_EQ(TS_PMTSplitFile(f.input.c_str(), 1, 0, nullptr), 0);
}

TEST(PMTSurvey, ProgramFollowedIsEntryOneElseEntryZero) {
    // Network entry first: entry 1 is followed.
    Mux net;
    net.Section(0, PatSection(1, {{0, 0x10}, {1, kPMT}}));
    net.Section(kPMT, PmtA());
    net.Es(kVideo);
    Split f1(net.File());
    static TS_PMTSplitTable table;
    ASSERT_EQ(TS_CheckPMTSplit(&table, f1.input.c_str()), 0);
    EXPECT_EQ(table.u16Count, 1);
    // Only the network entry: nothing is followed.
    Mux none;
    none.Section(0, PatSection(1, {{0, 0x10}}));
    none.Section(kPMT, PmtA());
    Split f2(none.File());
    ASSERT_EQ(TS_CheckPMTSplit(&table, f2.input.c_str()), 0);
    EXPECT_EQ(table.u16Count, 0);
}

TEST(PMTSurvey, PATWithThreeEntriesStopsTheScan) {
    Mux m;
    m.Section(0, PatSection(1, {{1, kPMT}}));
    m.Section(kPMT, PmtA());
    m.Es(kVideo);
    m.Section(0, PatSection(1, {{1, kPMT}, {2, 0x101}, {3, 0x102}}));
    m.Es(kVideo);
    Split f(m.File());
    static TS_PMTSplitTable table;
    EXPECT_EQ(TS_CheckPMTSplit(&table, f.input.c_str()), -3);
    ASSERT_EQ(table.u16Count, 1);
    EXPECT_EQ(table.ltEntry[0].u64Size, 3u * 188);  // the runs before the stop are kept
    // The split stops there; the pieces up to that PAT are whole and kept.
    EXPECT_EQ(TS_PMTSplitFile(f.input.c_str(), 1, 0, nullptr), -3);
    EXPECT_EQ(f.Output(TrailingU32(PmtA())).size(), 3u * 188);
}

TEST(PMTSplit, FailuresOfInputAndOutputs) {
    ABA s;
    Split f(s.m.File());
    static TS_PMTSplitTable table;
    EXPECT_EQ(TS_CheckPMTSplit(&table, (f.dir / "missing.ts").c_str()), -2);
    EXPECT_EQ(table.u16Count, 0);
    EXPECT_EQ(TS_PMTSplitFile((f.dir / "missing.ts").c_str(), 1, 0, nullptr), -2);
    EXPECT_EQ(TS_CheckPMTSplit(&table, nullptr), -1);
    EXPECT_EQ(TS_PMTSplitFile(nullptr, 1, 0, nullptr), -1);
    // The input itself as output, under another spelling: refused, the input unchanged.
    std::string other = (f.dir / "." / "rec.2024.ts").string();
    EXPECT_EQ(TS_PMTSplitFile(f.input.c_str(), 0, TrailingU32(PmtA()), other.c_str()), -4);
    EXPECT_EQ(testfiles::Read(f.input), s.m.File());
    // A full device: the failed write is reported.
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(TS_PMTSplitFile(f.input.c_str(), 0, TrailingU32(PmtA()), "/dev/full"), -5);
    }
}

TEST(PMTSplit, M2TSKeepsEachPacketsExtraHeader) {
    ABA s;
    Bytes m2ts = JoinM2ts(s.m.packets);
    Split f(m2ts);
    static TS_PMTSplitTable table;
    ASSERT_EQ(TS_CheckPMTSplit(&table, f.input.c_str()), 0);
    ASSERT_EQ(table.u16Count, 2);
    EXPECT_EQ(table.ltEntry[0].u64Size, (8u + 3u) * 192);
    ASSERT_EQ(TS_PMTSplitFile(f.input.c_str(), 0, TrailingU32(PmtB()), nullptr), 0);
    Bytes expect;
    for (size_t i : s.b) expect.insert(expect.end(), m2ts.begin() + static_cast<long>(i * 192),
                                       m2ts.begin() + static_cast<long>(i * 192 + 192));
    EXPECT_EQ(f.Output(TrailingU32(PmtB())), expect);
}

TEST(BaseFileName, CutsTheExtensionOfTheFileNameOnly) {
    char out[64];
    auto base = [&](const char* in) {
        EXPECT_EQ(GetBaseFileName(out, in, sizeof out), 0);
        return std::string(out);
    };
    EXPECT_EQ(base("rec.2024.ts"), "rec.2024");
    EXPECT_EQ(base("movie"), "movie");
    EXPECT_EQ(base(""), "");
    // A leading full stop belongs to the name of a hidden file; a later one cuts.
    EXPECT_EQ(base(".ts"), ".ts");
    EXPECT_EQ(base("d/.ts"), "d/.ts");
    EXPECT_EQ(base("d\\.ts"), "d\\.ts");
    EXPECT_EQ(base("d/..ts"), "d/..ts");
    EXPECT_EQ(base("d/.hidden.ts"), "d/.hidden");
    EXPECT_EQ(base(".a.b.ts"), ".a.b");
    EXPECT_EQ(base("d.x/.ts"), "d.x/.ts");
    EXPECT_EQ(base("d/x.ts"), "d/x");
    EXPECT_EQ(base("a.b\\c"), "a.b\\c");
    EXPECT_EQ(base("dir.d/file"), "dir.d/file");
    EXPECT_EQ(base("dir.d/file.ts"), "dir.d/file");
    EXPECT_EQ(GetBaseFileName(out, std::string(80, 'x').c_str(), sizeof out), -2);
    EXPECT_EQ(GetBaseFileName(nullptr, "a", 1), -1);
}

// On every shared stream, what the survey gives each PMT is exactly what -a writes for it.
TEST(PMTSplitShared, SurveySizesEqualTheBytesWritten) {
    if (testfiles::SharedStream("sample.ts").empty()) GTEST_SKIP() << "../shared/streams is absent; skipped";
    for (const char* name : {"sample.ts", "single-pmt.ts", "pmt-aba.ts", "pmt-two-packets.ts",
                             "broadcast.ts", "broadcast-damaged.ts", "sample.m2ts", "broadcast.m2ts"}) {
        SCOPED_TRACE(name);
        ScratchDir dir;
        std::filesystem::path link = dir / name;
        std::filesystem::create_symlink(testfiles::SharedStream(name), link);
        static TS_PMTSplitTable table, written;
        ASSERT_EQ(TS_CheckPMTSplit(&table, link.c_str()), 0);
        ASSERT_EQ(TS_PMTSplitFile(link.c_str(), 1, 0, nullptr, &written), 0);
        ASSERT_GT(written.u16Count, 0);
        for (uint16_t w = 0; w < written.u16Count; ++w) {
            uint64_t survey = 0;
            for (uint16_t i = 0; i < table.u16Count; ++i)
                if (table.ltEntry[i].u32CRC32 == written.ltEntry[w].u32CRC32) survey += table.ltEntry[i].u64Size;
            char base[64];
            GetBaseFileName(base, name, sizeof base);
            char out[96];
            std::snprintf(out, sizeof out, "%s_%08X.ts", base, written.ltEntry[w].u32CRC32);
            Bytes bytes = testfiles::Read(dir / out);
            EXPECT_EQ(bytes.size(), survey) << out;
            const size_t unit = std::string(name).ends_with(".m2ts") ? 192 : 188;
            ASSERT_EQ(bytes.size() % unit, 0u) << out;
            for (size_t at = unit - 188; at < bytes.size(); at += unit) ASSERT_EQ(bytes[at], 0x47) << out << " @" << at;
        }
    }
}

// single-pmt.ts by an independent filter: each PMT packet preceded by the last PAT packet,
// then every packet on 0x100 (video, PCR) and 0x101 (audio) once the PMT is known.
TEST(PMTSplitShared, SinglePMTMatchesAPIDFilter) {
    REQUIRE_SHARED_STREAM(src, "single-pmt.ts");
    Bytes in = testfiles::Read(src);
    ASSERT_EQ(in.size() % 188, 0u);
    Bytes expect, pat;
    bool pmt_seen = false;
    for (size_t at = 0; at + 188 <= in.size(); at += 188) {
        const uint8_t* p = &in[at];
        uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
        if (pid == 0) {
            pat.assign(p, p + 188);
        } else if (pid == 0x1000) {
            ASSERT_TRUE(p[1] & 0x40);  // one packet per section in this stream
            expect.insert(expect.end(), pat.begin(), pat.end());
            expect.insert(expect.end(), p, p + 188);
            pmt_seen = true;
        } else if (pmt_seen && (pid == 0x100 || pid == 0x101)) {
            expect.insert(expect.end(), p, p + 188);
        }
    }
    ScratchDir dir;
    std::filesystem::create_symlink(src, dir / "single-pmt.ts");
    ASSERT_EQ(TS_PMTSplitFile((dir / "single-pmt.ts").c_str(), 1, 0, nullptr), 0);
    EXPECT_EQ(testfiles::Read(dir / "single-pmt_2F44B99B.ts"), expect);
}

}  // namespace
