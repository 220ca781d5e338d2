// Hostile input: the inputs that the fuzz targets and the corruption run (fuzz/) found
// breaking a driver, each kept as a regression test beside a case that shows the same path
// working on a sound input.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "files.h"
#include "mux.h"
#include "core/scan.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

using namespace tsb;
using testfiles::ScratchDir;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t kPMT = 0x1000, kVideo = 0x100;

// Every file of `dir` but `input`: name and bytes.
std::vector<std::pair<std::string, Bytes>> Outputs(const ScratchDir& dir, const fs::path& input) {
    std::vector<std::pair<std::string, Bytes>> out;
    for (const auto& e : fs::directory_iterator(dir.path))
        if (e.path() != input) out.emplace_back(e.path().filename().string(), testfiles::Read(e.path()));
    std::sort(out.begin(), out.end());
    return out;
}

// True when `bytes` is whole units of `unit` bytes, each with 0x47 at its sync position.
bool WholePackets(const Bytes& bytes, uint32_t unit) {
    if (bytes.empty() || bytes.size() % unit != 0) return false;
    for (size_t at = unit - 188; at < bytes.size(); at += unit)
        if (bytes[at] != 0x47) return false;
    return true;
}

// A one-program recording: PAT, PMT, then video packets; the last but one carries an
// adaptation field of 71 bytes, so its byte 4 is 0x47.
std::vector<Packet> RecordingWithStray47() {
    Mux m;
    m.Section(0, PatSection(1, {{1, kPMT}}));
    m.Section(kPMT, PmtSection(1, kVideo, {}, {{0x02, kVideo, {}}}));
    for (int i = 0; i < 20; ++i) m.Es(kVideo);
    Adaptation a;
    a.stuffing = 70;  // flags byte + 70: adaptation_field_length 71 = 0x47
    Header h{.pid = kVideo, .cc = 4, .afc = 3};
    m.packets.push_back(MakePacket(h, Bytes(184 - 72, 0x11), EncodeAdaptation(a)));
    h.cc = 5;
    h.afc = 1;
    m.packets.push_back(MakePacket(h, Bytes(184, 0x22)));
    return m.packets;
}

}  // namespace

// The corruption run cut an M2TS recording: a 0x47 in the last units of the bytes at hand,
// 188 bytes before a sync byte, passed for the 188-byte stride, and every output came out in
// 188-byte pieces of 192-byte units. The 188-byte grid must hold over eight packets unless
// the input is too short to show eight.
TEST(HostileM2ts, StraySyncByteNearTheEndDoesNotMake188) {
    const auto packets = RecordingWithStray47();
    const Bytes m2ts = JoinM2ts(packets, 0x00001000, 0x2000);
    // The stray byte: byte 4 of the last but one packet, 188 before the last sync byte.
    const size_t stray = m2ts.size() - 2 * 192 + 4 + 4;
    ASSERT_EQ(m2ts[stray], 0x47);
    ASSERT_EQ(m2ts[stray + 188], 0x47);
    EXPECT_EQ(ts_detail::DetectUnitSize(m2ts.data(), m2ts.size()), 192u);

    // The split writes the whole recording, unchanged, in 192-byte units: PAT, PMT, video.
    ScratchDir dir;
    const fs::path input = dir / "rec.m2ts";
    testfiles::Write(input, m2ts);
    ASSERT_EQ(TS_PMTSplitFile(input.c_str(), 1, 0, nullptr), 0);
    auto out = Outputs(dir, input);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(WholePackets(out[0].second, 192));
    EXPECT_EQ(out[0].second, m2ts);

    // The same packets as a 188-byte stream stay 188, and so does their output.
    const Bytes ts = Join(packets);
    EXPECT_EQ(ts_detail::DetectUnitSize(ts.data(), ts.size()), 188u);
    ScratchDir dir188;
    const fs::path input188 = dir188 / "rec.ts";
    testfiles::Write(input188, ts);
    ASSERT_EQ(TS_PMTSplitFile(input188.c_str(), 1, 0, nullptr), 0);
    out = Outputs(dir188, input188);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].second, ts);
}

// A short input (fewer than nine packets) still tells its grid from two units.
TEST(HostileM2ts, ShortInputsKeepTheirGrid) {
    const auto packets = RecordingWithStray47();
    std::vector<Packet> few(packets.begin(), packets.begin() + 3);
    const Bytes m2ts = JoinM2ts(few);
    EXPECT_EQ(ts_detail::DetectUnitSize(m2ts.data(), m2ts.size()), 192u);
    const Bytes ts = Join(few);
    EXPECT_EQ(ts_detail::DetectUnitSize(ts.data(), ts.size()), 188u);
}

// The input that found it: 93,088 bytes of sample.m2ts from unit 279 on (484 units and 160
// bytes of the next), where two stray 0x47 lie 188 bytes apart in the last units; the piece
// holds the change from PMT A to B.
TEST(HostileM2ts, CutSampleRecordingSplitsIn192ByteUnits) {
    Bytes whole;
    if (!ReadFile(VELKARIN_STREAMS_DIR "/sample.m2ts", whole))
        GTEST_SKIP() << "../shared/streams/sample.m2ts is absent; skipped";
    const size_t from = 279 * 192;
    ASSERT_GT(whole.size(), from + 93088);
    const Bytes cut(whole.begin() + from, whole.begin() + from + 93088);
    EXPECT_EQ(ts_detail::DetectUnitSize(cut.data(), cut.size()), 192u);

    ScratchDir dir;
    const fs::path input = dir / "rec.m2ts";
    testfiles::Write(input, cut);
    static TS_PMTSplitTable survey, written;
    ASSERT_EQ(TS_CheckPMTSplit(&survey, input.c_str()), 0);
    ASSERT_GE(survey.u16Count, 2u);  // PMT A, then B
    ASSERT_EQ(TS_PMTSplitFile(input.c_str(), 1, 0, nullptr, &written), 0);
    auto out = Outputs(dir, input);
    ASSERT_EQ(out.size(), written.u16Count);
    uint64_t surveyed = 0, total = 0;
    for (uint16_t i = 0; i < survey.u16Count; ++i) surveyed += survey.ltEntry[i].u64Size;
    for (const auto& [name, bytes] : out) {
        EXPECT_TRUE(WholePackets(bytes, 192)) << name << ": " << bytes.size() << " bytes";
        total += bytes.size();
    }
    EXPECT_EQ(total, surveyed);
}

namespace {

// PMT A and B alternating `runs` times, each run with its PAT, its PMT and three video
// packets (B adds an audio stream, which has no packets); then a third PMT C, first seen
// after all of them, with `late` video packets.
Bytes Alternating(int runs, int late) {
    Mux m;
    const Bytes a = PmtSection(1, kVideo, {}, {{0x02, kVideo, {}}});
    const Bytes b = PmtSection(1, kVideo, {}, {{0x02, kVideo, {}}, {0x04, 0x101, {}}});
    const Bytes c = PmtSection(1, kVideo, {}, {{0x02, kVideo, {}}, {0x04, 0x102, {}}});
    for (int i = 0; i < runs; ++i) {
        m.Section(0, PatSection(1, {{1, kPMT}}));
        m.Section(kPMT, i % 2 ? b : a);
        for (int k = 0; k < 3; ++k) m.Es(kVideo);
    }
    m.Section(0, PatSection(1, {{1, kPMT}}));
    m.Section(kPMT, c);
    for (int k = 0; k < late; ++k) m.Es(kVideo);
    return m.File();
}

}  // namespace

// More runs than the run report holds (256): a recording whose PMT flips between two
// versions, then a third PMT. The survey keeps distinct PMTs, so the one first seen after
// the 256th run is listed with its true size, and every total is what -a writes. Every run
// of A and B is 5 packets; C's is 2 + `late`.
TEST(HostileRuns, MoreRunsThanTheTableStillSumToWhatTheWriterWrites) {
    for (int runs : {200, 300}) {
        ScratchDir dir;
        const fs::path input = dir / "rec.ts";
        const int late = 1000;  // C is the largest PMT
        testfiles::Write(input, Alternating(runs, late));
        static TS_PMTSplitTable survey, written;
        ASSERT_EQ(TS_CheckPMTSplit(&survey, input.c_str()), 0);
        ASSERT_EQ(survey.u16Count, 3);
        std::map<uint32_t, uint64_t> totals;
        for (uint16_t i = 0; i < survey.u16Count; ++i) totals[survey.ltEntry[i].u32CRC32] += survey.ltEntry[i].u64Size;
        ASSERT_EQ(totals.size(), 3u);
        const uint32_t crc_a = survey.ltEntry[0].u32CRC32, crc_b = survey.ltEntry[1].u32CRC32,
                       crc_c = survey.ltEntry[2].u32CRC32;
        EXPECT_EQ(survey.ltEntry[0].u32Runs, uint32_t((runs + 1) / 2));
        EXPECT_EQ(survey.ltEntry[1].u32Runs, uint32_t(runs / 2));
        EXPECT_EQ(survey.ltEntry[2].u32Runs, 1u);
        EXPECT_EQ(totals[crc_a], uint64_t((runs + 1) / 2) * 5 * 188) << runs;
        EXPECT_EQ(totals[crc_b], uint64_t(runs / 2) * 5 * 188) << runs;
        EXPECT_EQ(totals[crc_c], uint64_t(2 + late) * 188) << runs;

        ASSERT_EQ(TS_PMTSplitFile(input.c_str(), 1, 0, nullptr, &written), 0);
        ASSERT_EQ(written.u16Count, 3u);
        for (uint16_t i = 0; i < written.u16Count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "rec_%08X.ts", written.ltEntry[i].u32CRC32);
            EXPECT_EQ(fs::file_size(dir / name), totals[written.ltEntry[i].u32CRC32]) << runs << " " << name;
        }
    }
}
