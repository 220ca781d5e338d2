// The library's messages go whole through the reporting function a program sets, and to
// standard error when none is set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files.h"
#include "mux.h"
#include "pmt/pmt.h"

namespace {

using namespace tsb;

std::vector<std::string> g_messages;
void Collect(void* context, const char* message) {
    EXPECT_EQ(context, &g_messages);
    g_messages.emplace_back(message);
}

// A stream of one program whose PMT changes once, with a continuity break on its video PID;
// `second` receives the CRC_32 of the second PMT.
Bytes TwoPMTs(uint32_t* second) {
    Mux m;
    const Bytes pat = PatSection(1, {{1, 0x100}});
    m.Section(0, pat);
    m.Section(0x100, PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}}));
    for (int i = 0; i < 4; ++i) m.Es(0x101, i == 0);
    m.cc[0x101] = 9;  // a break
    m.Section(0, pat);
    const Bytes pmt = PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}, {0x04, 0x102, {}}}, 1);
    *second = TrailingU32(pmt);
    m.Section(0x100, pmt);
    for (int i = 0; i < 4; ++i) m.Es(0x101), m.Es(0x102);
    return Join(m.packets);
}

struct Hooked : ::testing::Test {
    void SetUp() override {
        g_messages.clear();
        TS_SetReportFunction(Collect, &g_messages);
    }
    void TearDown() override { TS_SetReportFunction(nullptr, nullptr); }
};

TEST_F(Hooked, EveryMessageOfADriverReachesTheHookWholeAndNoneStandardError) {
    uint32_t second = 0;
    testfiles::ScratchFile input(TwoPMTs(&second));
    // The second piece's name is taken by a folder: the first piece is begun, then given up.
    char taken[32];
    std::snprintf(taken, sizeof taken, "rec_%08X.ts", second);
    std::filesystem::create_directory(input.dir / taken);
    const std::string base = (input.dir / "rec").string();
    TS_PMTOptions options{};
    options.output_base = base.c_str();

    testing::internal::CaptureStderr();
    TS_PMTSplitTable table;
    EXPECT_EQ(TS_CheckPMTSplit(&table, "/no/such/input.ts"), -2);
    EXPECT_EQ(TS_PMTSplitFile(input.path.c_str(), 1, 0, nullptr, nullptr, &options), -4);
    EXPECT_EQ(TS_CheckPMTSplit(&table, input.path.c_str()), 0);
    TS_ReportDamage("test", "in.ts");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    ASSERT_EQ(g_messages.size(), 4u);
    EXPECT_EQ(g_messages[0], "Error: Failed open /no/such/input.ts.\n");
    EXPECT_EQ(g_messages[1], "Error: Failed open " + (input.dir / taken).string() + ".\n");
    EXPECT_EQ(g_messages[2].rfind("Error: not written: " + base + "_", 0), 0u) << g_messages[2];
    EXPECT_NE(g_messages[2].find(", " + (input.dir / taken).string() + ".\n"), std::string::npos) << g_messages[2];
    EXPECT_EQ(g_messages[3], "test: in.ts: damaged input: 1 continuity break.\n");
    for (const std::string& m : g_messages) EXPECT_EQ(m.find('\n'), m.size() - 1) << m;
}

TEST_F(Hooked, NoHookWritesTheMessagesToStandardError) {
    TS_SetReportFunction(nullptr, &g_messages);
    testing::internal::CaptureStderr();
    TS_PMTSplitTable table;
    EXPECT_EQ(TS_CheckPMTSplit(&table, "/no/such/input.ts"), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Failed open /no/such/input.ts.\n");
    EXPECT_TRUE(g_messages.empty());
}

}  // namespace
