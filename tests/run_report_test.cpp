// Run report: the survey's runs with their place in the input, PCR time and streams.
#include <gtest/gtest.h>

#include <cmath>

#include "files.h"
#include "mux.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

using namespace tsb;
using testfiles::ScratchDir;

namespace {

constexpr uint16_t kPMT = 0x100, kVideo = 0x111, kAudio = 0x112, kPCR = 0x1FF;
constexpr uint64_t kWrap = (uint64_t{1} << 33);

Bytes Pmt(const std::string& lang) {
    return PmtSection(1, kPCR, {}, {{0x1B, kVideo, {}}, {0x0F, kAudio, LanguageDescriptor({{lang, 0}})}});
}

// A PCR packet on kPCR with the given 90 kHz base.
Packet PcrPacket(Mux& m, uint64_t base) {
    Header h{.pid = kPCR, .cc = m.cc[kPCR], .afc = 2};
    Adaptation a;
    a.pcr = std::make_pair(base % kWrap, uint16_t{0});
    a.stuffing = 176;
    return MakePacket(h, {}, EncodeAdaptation(a));
}

TEST(RunReport, RunsPlacesSizesPCRAndLanguages) {
    Mux m;
    m.Es(kVideo);                                  // packet 0: before the PAT
    m.Section(0, PatSection(1, {{1, kPMT}}));      // 1
    size_t first = m.Section(kPMT, Pmt("jpn"));    // 2
    m.packets.push_back(PcrPacket(m, kWrap - 90000));  // 3: one second before the wrap
    m.Es(kVideo);                                  // 4
    m.packets.push_back(PcrPacket(m, 45000));      // 5: half a second after it
    size_t second = m.Section(kPMT, Pmt("eng"));   // 6
    m.Es(kAudio);                                  // 7
    m.Es(0x1FFF);                                  // 8: not attributed
    ScratchDir dir;
    testfiles::Write(dir / "r.ts", m.File());

    static TS_RunReport report;
    ASSERT_EQ(TS_SurveyRuns(&report, (dir / "r.ts").c_str()), 0);
    ASSERT_EQ(report.run_count, 2);
    EXPECT_EQ(report.packet_size, 188u);
    const TS_RunInfo& a = report.runs[0];
    EXPECT_EQ(a.CRC_32, TrailingU32(Pmt("jpn")));
    EXPECT_EQ(a.first_packet, first);
    EXPECT_EQ(a.last_packet, 5u);
    EXPECT_EQ(a.first_byte, first * 188);
    EXPECT_EQ(a.end_byte, 6u * 188);
    EXPECT_EQ(a.bytes, 5u * 188);  // PAT copy, PMT, PCR, video, PCR
    ASSERT_TRUE(a.has_pcr);
    EXPECT_EQ(a.pcr_first, (kWrap - 90000) * 300);
    EXPECT_EQ(a.pcr_last, 45000u * 300);
    EXPECT_EQ(a.pcr_ticks, (90000u + 45000u) * 300);  // across the wrap: 1.5 s
    ASSERT_EQ(a.stream_count, 2);
    EXPECT_EQ(a.streams[0].PID, kVideo);
    EXPECT_EQ(a.streams[0].stream_type, 0x1B);
    EXPECT_EQ(a.streams[0].language_count, 0);
    ASSERT_EQ(a.streams[1].language_count, 1);
    EXPECT_EQ(a.streams[1].languages[0], ('j' << 16) | ('p' << 8) | 'n');

    const TS_RunInfo& b = report.runs[1];
    EXPECT_EQ(b.first_packet, second);
    EXPECT_EQ(b.last_packet, 7u);
    EXPECT_EQ(b.bytes, 3u * 188);
    EXPECT_FALSE(b.has_pcr);
    EXPECT_EQ(b.streams[1].languages[0], ('e' << 16) | ('n' << 8) | 'g');

    // The sizes are the survey's.
    static TS_PMTSplitTable table;
    ASSERT_EQ(TS_CheckPMTSplit(&table, (dir / "r.ts").c_str()), 0);
    ASSERT_EQ(table.u16Count, 2);
    EXPECT_EQ(table.ltEntry[0].u64Size, a.bytes);
    EXPECT_EQ(table.ltEntry[1].u64Size, b.bytes);
}

TEST(RunReport, FailuresAsTheSurvey) {
    static TS_RunReport report;
    EXPECT_EQ(TS_SurveyRuns(&report, nullptr), -1);
    EXPECT_EQ(TS_SurveyRuns(&report, "/nonexistent/x.ts"), -2);
    Mux m;
    m.Section(0, PatSection(1, {{1, kPMT}, {2, 0x101}, {3, 0x102}}));
    ScratchDir dir;
    testfiles::Write(dir / "three.ts", m.File());
    EXPECT_EQ(TS_SurveyRuns(&report, (dir / "three.ts").c_str()), -3);
}

// On the shared streams the report's sizes are the survey's, and M2TS input reports 192.
TEST(RunReportShared, SizesAgreeWithTheSurvey) {
    if (testfiles::SharedStream("sample.ts").empty()) GTEST_SKIP() << "../shared/streams is absent; skipped";
    for (const char* name : {"sample.ts", "broadcast.ts", "broadcast-damaged.ts", "broadcast.m2ts", "pmt-two-packets.ts"}) {
        SCOPED_TRACE(name);
        static TS_RunReport report;
        static TS_PMTSplitTable table;
        auto path = testfiles::SharedStream(name);
        ASSERT_EQ(TS_SurveyRuns(&report, path.c_str()), 0);
        ASSERT_EQ(TS_CheckPMTSplit(&table, path.c_str()), 0);
        // Each PMT's runs together make the survey's entry for it.
        uint32_t runs = 0;
        for (uint16_t i = 0; i < table.u16Count; ++i) {
            uint64_t bytes = 0;
            uint32_t count = 0;
            for (uint16_t r = 0; r < report.run_count; ++r)
                if (report.runs[r].CRC_32 == table.ltEntry[i].u32CRC32) bytes += report.runs[r].bytes, ++count;
            EXPECT_EQ(bytes, table.ltEntry[i].u64Size);
            EXPECT_EQ(count, table.ltEntry[i].u32Runs);
            runs += count;
        }
        EXPECT_EQ(runs, report.run_count);
        EXPECT_EQ(report.packet_size, std::string(name).ends_with(".m2ts") ? 192u : 188u);
    }
    // pmt-two-packets.ts: all nineteen streams, also beyond the sixteen detailed records.
    static TS_RunReport report;
    ASSERT_EQ(TS_SurveyRuns(&report, testfiles::SharedStream("pmt-two-packets.ts").c_str()), 0);
    ASSERT_EQ(report.run_count, 1);
    EXPECT_EQ(report.runs[0].stream_count, 19);
}

}  // namespace
