// One file per run (-r) and the margins (--min-run): which runs are left out of the listing and
// of every split, and that what is written is exactly the input's packets of each run.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "files.h"
#include "mux.h"

using namespace tsb;
using testfiles::Result;
using testfiles::RunCommand;
using testfiles::ScratchDir;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t kPMT = 0x1F0, kVideo = 0x111, kAudio = 0x112, kPCR = 0x1FF;
constexpr uint64_t kSecond = 90000;  // of the 90 kHz PCR base

Bytes Pmt(char which) {
    std::vector<Stream> s{{0x02, kVideo, {}}, {0x04, kAudio, LanguageDescriptor({{"jpn", 0}})}};
    if (which == 'B') s.push_back({0x04, kAudio + 1, LanguageDescriptor({{"eng", 0}})});
    if (which == 'C') s[1].type = 0x0F;
    return PmtSection(1024, kPCR, {}, s);
}

std::string Hex(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%08X", v);
    return s;
}
std::string CRC(char which) { return Hex(TrailingU32(Pmt(which))); }

// A run of the recording: its PMT, its PCR time from the first PCR to the last, and how many
// PCRs it carries (0: none; 1: a single one, which lasts 0 s).
struct RunSpec {
    char pmt;
    double seconds;
    int pcrs = 9;
};

// A recording: for each run a PAT and the run's PMT, then its PCRs evenly over its time, two
// video packets after each. The PCR goes on across runs, one step after the last run's last
// PCR. `runs[k]` lists the packets that belong to run k, as a split writes them: the PAT
// copy (the PAT just before the PMT), the PMT and the stream packets.
struct Recording {
    Mux m;
    std::vector<std::vector<size_t>> runs;
    Bytes file;

    explicit Recording(const std::vector<RunSpec>& specs) {
        uint64_t t = 10 * kSecond;
        m.Es(kVideo);  // before any PMT: belongs to no run
        for (const RunSpec& r : specs) {
            std::vector<size_t> own;
            own.push_back(m.Section(0, PatSection(1, {{0, 0x10}, {1024, kPMT}})));
            own.push_back(m.Section(kPMT, Pmt(r.pmt)));
            const int marks = r.pcrs > 0 ? r.pcrs : 9;
            const uint64_t step = marks > 1 ? static_cast<uint64_t>(r.seconds * kSecond) / (marks - 1) : kSecond / 2;
            for (int k = 0; k < marks; ++k) {
                if (r.pcrs > 0) own.push_back(Pcr(t + step * k));
                own.push_back(m.Es(kVideo));
                own.push_back(m.Es(kVideo));
            }
            t += step * (marks - 1) + step;
            runs.push_back(own);
        }
        m.Es(0x1FFF);  // a null packet at the end
        file = m.File();
    }

    size_t Pcr(uint64_t base) {
        Header h{.pid = kPCR, .cc = m.cc[kPCR], .afc = 2};
        Adaptation a;
        a.pcr = std::make_pair(base, uint16_t{0});
        a.stuffing = 176;
        m.packets.push_back(MakePacket(h, {}, EncodeAdaptation(a)));
        return m.packets.size() - 1;
    }

    // The packets of the runs listed, in order.
    Bytes Of(std::initializer_list<size_t> which) const {
        Bytes out;
        for (size_t k : which) {
            Bytes part = m.Pick(runs.at(k));
            out.insert(out.end(), part.begin(), part.end());
        }
        return out;
    }
};

// Every file written in `dir` but the input, by name.
std::map<std::string, Bytes> Outputs(const fs::path& dir) {
    std::map<std::string, Bytes> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != "rec.ts") out[e.path().filename().string()] = testfiles::Read(e.path());
    return out;
}

struct Case {
    ScratchDir dir;
    Recording rec;
    explicit Case(const std::vector<RunSpec>& specs) : rec(specs) { testfiles::Write(dir / "rec.ts", rec.file); }
    Result Run(std::vector<std::string> args) {
        args.insert(args.begin(), "rec.ts");
        return RunCommand("velkarin", args, dir.path);
    }
    void Clear() {
        for (const auto& [name, bytes] : Outputs(dir.path)) fs::remove(dir / name);
    }
};

std::string Line(char which, size_t bytes) {
    return "PMT CRC32:0x" + CRC(which) + " size:0MB\n  bytes " + std::to_string(bytes) + ", runs ";
}

// ---------------------------------------------------------------------------------------------
// Margins
// ---------------------------------------------------------------------------------------------

// Runs of 2 s at both ends go with --min-run 5 and stay with --min-run 1, from the listing, the
// JSON listing, -a, -l, a CRC split and -r alike; the sizes listed are the bytes written.
TEST(Margins, ShortRunsAtBothEndsAreLeftOutEverywhere) {
    Case c({{'A', 2}, {'B', 10}, {'A', 2}});
    const size_t b = c.rec.Of({1}).size();
    Result listed = c.Run({"--min-run", "5", "-v"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, Line('B', b) + "1\n");
    Result json = c.Run({"--min-run", "5", "--json"});
    EXPECT_EQ(json.out.find(CRC('A')), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("{\"crc32\": \"0x" + CRC('B') + "\", \"bytes\": " + std::to_string(b) + ", \"runs\": 1"),
              std::string::npos) << json.out;

    ASSERT_EQ(c.Run({"--min-run", "5", "-a"}).status, 0);
    auto out = Outputs(c.dir.path);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out["rec_" + CRC('B') + ".ts"] == c.rec.Of({1}));
    c.Clear();
    ASSERT_EQ(c.Run({"--min-run", "5", "-r"}).status, 0);
    out = Outputs(c.dir.path);
    ASSERT_EQ(out.size(), 1u);
    // The name keeps the run's place in the recording.
    EXPECT_TRUE(out["rec_02_" + CRC('B') + ".ts"] == c.rec.Of({1}));
    c.Clear();
    // A, the largest without margins, has nothing left: -l takes B.
    ASSERT_EQ(c.Run({"--min-run", "5", "-l"}).status, 0);
    out = Outputs(c.dir.path);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out["rec_L.ts"] == c.rec.Of({1}));
    c.Clear();
    // -l on a pipe, in one pass, takes the same.
    const std::string piped = "cd " + c.dir.path.string() + " && cat rec.ts | " + VELKARIN_BIN_DIR + "/velkarin - -l --min-run 5";
    ASSERT_EQ(std::system(piped.c_str()), 0);
    EXPECT_TRUE(testfiles::Read(c.dir / "stdin_L.ts") == c.rec.Of({1}));
    c.Clear();
    Result none = c.Run({"--min-run", "5", CRC('A')});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("outside the runs left out as margins; nothing written"), std::string::npos) << none.err;
    EXPECT_TRUE(Outputs(c.dir.path).empty());

    // Kept with a smaller minimum: as without --min-run.
    Result kept = c.Run({"--min-run", "1", "-v"});
    EXPECT_EQ(kept.out, c.Run({"-v"}).out);
    EXPECT_EQ(kept.out, Line('A', c.rec.Of({0, 2}).size()) + "2\n" + Line('B', b) + "1\n");
    ASSERT_EQ(c.Run({"--min-run", "1", "-a"}).status, 0);
    out = Outputs(c.dir.path);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out["rec_" + CRC('A') + ".ts"] == c.rec.Of({0, 2}));
    c.Clear();
    ASSERT_EQ(c.Run({"--min-run", "1", "-r"}).status, 0);
    out = Outputs(c.dir.path);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(out["rec_01_" + CRC('A') + ".ts"] == c.rec.Of({0}));
}

// A margin is shorter than the minimum: a run of exactly the minimum stays; the run's time is
// from its first PCR to its last, not to the next run.
TEST(Margins, ARunOfExactlyTheMinimumStays) {
    Case c({{'A', 2}, {'B', 10}});
    EXPECT_EQ(c.Run({"--min-run", "2"}).out, c.Run({}).out);
    EXPECT_EQ(c.Run({"--min-run", "2.0001"}).out, "PMT CRC32:0x" + CRC('B') + " size:0MB\n");
    EXPECT_EQ(c.Run({"--min-run", ".5"}).out, c.Run({}).out);
}

// Only the first and the last run can be margins: a short run in the middle stays, and so do
// runs without a PCR; a run with a single PCR lasts 0 s.
TEST(Margins, MiddleRunsAndRunsWithoutPCRStay) {
    Case middle({{'A', 10}, {'B', 2}, {'A', 10}});
    EXPECT_EQ(middle.Run({"--min-run", "5"}).out, middle.Run({}).out);
    ASSERT_EQ(middle.Run({"--min-run", "5", "-r"}).status, 0);
    EXPECT_EQ(Outputs(middle.dir.path).size(), 3u);

    Case no_pcr({{'A', 2, 0}, {'B', 10}, {'A', 2, 0}});
    EXPECT_EQ(no_pcr.Run({"--min-run", "5"}).out, no_pcr.Run({}).out);
    ASSERT_EQ(no_pcr.Run({"--min-run", "5", "-a"}).status, 0);
    EXPECT_TRUE(Outputs(no_pcr.dir.path)["rec_" + CRC('A') + ".ts"] == no_pcr.rec.Of({0, 2}));

    Case single({{'A', 0, 1}, {'B', 10}});
    EXPECT_EQ(single.Run({"--min-run", "0.001"}).out, "PMT CRC32:0x" + CRC('B') + " size:0MB\n");
    EXPECT_EQ(single.Run({"--min-run", "0"}).out, single.Run({}).out);
}

// A PMT keeps the bytes of its other runs: the last run is cut off the end of its file, the
// first off the start (and the PMT is then listed where its first kept run comes).
TEST(Margins, APMTKeepsItsOtherRuns) {
    Case last({{'A', 10}, {'B', 10}, {'A', 2}});
    EXPECT_EQ(last.Run({"--min-run", "5", "-v"}).out,
              Line('A', last.rec.Of({0}).size()) + "1\n" + Line('B', last.rec.Of({1}).size()) + "1\n");
    ASSERT_EQ(last.Run({"--min-run", "5", "-a"}).status, 0);
    auto out = Outputs(last.dir.path);
    EXPECT_TRUE(out["rec_" + CRC('A') + ".ts"] == last.rec.Of({0}));
    last.Clear();
    ASSERT_EQ(last.Run({"--min-run", "5", "0x" + CRC('A'), "a.ts"}).status, 0);
    EXPECT_TRUE(testfiles::Read(last.dir / "a.ts") == last.rec.Of({0}));

    Case first({{'A', 2}, {'B', 10}, {'A', 10}});
    EXPECT_EQ(first.Run({"--min-run", "5", "-v"}).out,
              Line('B', first.rec.Of({1}).size()) + "1\n" + Line('A', first.rec.Of({2}).size()) + "1\n");
    ASSERT_EQ(first.Run({"--min-run", "5", "-a"}).status, 0);
    out = Outputs(first.dir.path);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out["rec_" + CRC('A') + ".ts"] == first.rec.Of({2}));
    EXPECT_TRUE(out["rec_" + CRC('B') + ".ts"] == first.rec.Of({1}));
    first.Clear();
    ASSERT_EQ(first.Run({"--min-run", "5", CRC('A')}).status, 0);
    EXPECT_TRUE(Outputs(first.dir.path)["rec_" + CRC('A') + ".ts"] == first.rec.Of({2}));
}

// A recording of one short run has nothing left; the reason is said.
TEST(Margins, NothingLeftIsAFailureWithItsReason) {
    Case c({{'A', 2}});
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--min-run", "5"}, {"--min-run", "5", "--json"}, {"--min-run", "5", "-a"}, {"--min-run", "5", "-r"}}) {
        SCOPED_TRACE(args.back());
        Result r = c.Run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("every PMT run of rec.ts is a margin shorter than 5 s"), std::string::npos) << r.err;
        EXPECT_TRUE(Outputs(c.dir.path).empty());
    }
    EXPECT_EQ(c.Run({"--min-run", "1"}).status, 0);
}

// The run report marks margins only when asked, in text and JSON; the marks are velkarin's.
TEST(Margins, TheRunReportMarksThem) {
    Case c({{'A', 2}, {'B', 10}, {'A', 10}, {'B', 2}});
    auto dump = [&](std::vector<std::string> args) {
        args.push_back("rec.ts");
        return RunCommand("velkarin-dump", args, c.dir.path);
    };
    const std::string plain = dump({"--runs"}).out;
    EXPECT_EQ(plain.find("margin"), std::string::npos);
    EXPECT_EQ(dump({"--runs", "--json"}).out.find("margin"), std::string::npos);
    const std::string marked = dump({"--runs", "--min-run", "5"}).out;
    std::regex run_line("Run ([0-9]): PMT CRC32 0x[0-9A-F]{8}( margin)?\n");
    std::string marks;
    for (std::sregex_iterator it(marked.begin(), marked.end(), run_line), end; it != end; ++it)
        marks += (*it)[2].matched ? 'M' : '-';
    EXPECT_EQ(marks, "M--M");
    // Apart from the marks, the report is the same.
    EXPECT_EQ(std::regex_replace(marked, std::regex(" margin\n"), "\n"), plain);
    const std::string json = dump({"--runs", "--json", "--min-run", "5"}).out;
    std::regex margin("\"margin\": (true|false)");
    marks.clear();
    for (std::sregex_iterator it(json.begin(), json.end(), margin), end; it != end; ++it) marks += (*it)[1] == "true" ? 'M' : '-';
    EXPECT_EQ(marks, "M--M");
    EXPECT_EQ(dump({"--runs", "--min-run", "1"}).out.find(" margin"), std::string::npos);
}

TEST(Margins, UsageErrors) {
    Case c({{'A', 10}});
    for (const char* bad : {"-1", "abc", "", "1e3", "5s", "1.2.3", ".", " 5", "+5", "99999999999"}) {
        SCOPED_TRACE(bad);
        Result r = c.Run({"--min-run", bad});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("--min-run needs a number of seconds"), std::string::npos) << r.err;
        EXPECT_EQ(RunCommand("velkarin-dump", {"--runs", "--min-run", bad, "rec.ts"}, c.dir.path).status, 2);
    }
    EXPECT_EQ(c.Run({"--min-run"}).status, 2);
    // A margin cannot be taken back from standard output.
    Result out = c.Run({"--min-run", "1", CRC('A'), "-"});
    EXPECT_EQ(out.status, 2);
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(c.Run({CRC('A'), "-"}).status, 0);  // without it, standard output is fine
    EXPECT_EQ(RunCommand("velkarin-dump", {"--pat", "--min-run", "1", "rec.ts"}, c.dir.path).status, 2);
    EXPECT_TRUE(Outputs(c.dir.path).empty());
}

// A margin is taken back from the file it went to: an output that is not a regular file is
// refused before anything is written to it.
TEST(Margins, OutputsMustBeRegularFiles) {
    Case c({{'A', 10}});
    Result device = c.Run({"--min-run", "1", CRC('A'), "/dev/null"});
    EXPECT_EQ(device.status, 1);
    EXPECT_NE(device.err.find("Error: Failed open /dev/null (a run left out as a margin could not be taken back"), std::string::npos)
        << device.err;
    EXPECT_EQ(c.Run({CRC('A'), "/dev/null"}).status, 0);
}

// ---------------------------------------------------------------------------------------------
// One file per run
// ---------------------------------------------------------------------------------------------

// A, B, A gives three files, each holding exactly the input's packets of its run: what -a
// writes for A is the first and the third together.
TEST(EachRun, ABAGivesThreeFilesOfTheirRunsPackets) {
    Case c({{'A', 3}, {'B', 3}, {'A', 3}});
    ASSERT_EQ(c.Run({"-a"}).status, 0);
    auto all = Outputs(c.dir.path);
    c.Clear();
    Result r = c.Run({"--each-run"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    auto out = Outputs(c.dir.path);
    ASSERT_EQ(out.size(), 3u);
    const std::string one = "rec_01_" + CRC('A') + ".ts", two = "rec_02_" + CRC('B') + ".ts", three = "rec_03_" + CRC('A') + ".ts";
    EXPECT_TRUE(out[one] == c.rec.Of({0}));
    EXPECT_TRUE(out[two] == c.rec.Of({1}));
    EXPECT_TRUE(out[three] == c.rec.Of({2}));
    Bytes a = out[one];
    a.insert(a.end(), out[three].begin(), out[three].end());
    EXPECT_TRUE(all["rec_" + CRC('A') + ".ts"] == a);
    EXPECT_TRUE(all["rec_" + CRC('B') + ".ts"] == out[two]);
    // Each file holds one PMT: its run's, once.
    for (const auto& [name, bytes] : out) {
        size_t pmts = 0;
        for (size_t at = 0; at + 188 <= bytes.size(); at += 188) pmts += (((bytes[at + 1] & 0x1F) << 8) | bytes[at + 2]) == kPMT;
        EXPECT_EQ(pmts, 1u) << name;
    }
}

// Names: the output folder, the base of standard input, two digits and more; a PMT that does
// not change gives one file; from a pipe, the same files in one pass.
TEST(EachRun, NamesFolderPipeAndManyRuns) {
    std::vector<RunSpec> specs;
    for (int i = 0; i < 101; ++i) specs.push_back({i % 2 ? 'B' : 'A', 0.2, 2});
    Case c(specs);
    ScratchDir out_dir;
    ASSERT_EQ(c.Run({"-r", "-o", out_dir.path.string()}).status, 0);
    auto out = Outputs(out_dir.path);
    ASSERT_EQ(out.size(), 101u);
    EXPECT_TRUE(out["rec_09_" + CRC('A') + ".ts"] == c.rec.Of({8}));
    EXPECT_TRUE(out["rec_10_" + CRC('B') + ".ts"] == c.rec.Of({9}));
    EXPECT_TRUE(out["rec_101_" + CRC('A') + ".ts"] == c.rec.Of({100}));
    EXPECT_TRUE(Outputs(c.dir.path).empty());

    // From a pipe, with the first and the last run (0.2 s each) left out.
    ScratchDir piped;
    const std::string cmd = "cat " + (c.dir / "rec.ts").string() + " | " + VELKARIN_BIN_DIR + "/velkarin -r - --min-run 0.3 -o " +
                            piped.path.string();
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    auto from_pipe = Outputs(piped.path);
    ASSERT_EQ(from_pipe.size(), 99u);
    out.erase("rec_01_" + CRC('A') + ".ts");
    out.erase("rec_101_" + CRC('A') + ".ts");
    for (const auto& [name, bytes] : out) EXPECT_TRUE(from_pipe["stdin" + name.substr(3)] == bytes) << name;

    Case one({{'A', 3}, {'A', 3}});  // the same PMT twice is one run
    ASSERT_EQ(one.Run({"-r"}).status, 0);
    auto single = Outputs(one.dir.path);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_TRUE(single["rec_01_" + CRC('A') + ".ts"] == one.rec.Of({0, 1}));
}

TEST(EachRun, WrongCombinationsAreUsageErrors) {
    Case c({{'A', 3}, {'B', 3}});
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-r", "-a"}, {"-a", "--each-run"}, {"-r", "-l"}, {"-r", CRC('A')}, {"-r", CRC('A'), "x.ts"}, {"-r", "--json"},
             {"-r", "-v"}, {"-ra"}}) {
        SCOPED_TRACE(args.front() + " " + args.back());
        Result r = c.Run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("Try 'velkarin --help'"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(Outputs(c.dir.path).empty());
    Result help = RunCommand("velkarin", {"--help"});
    EXPECT_NE(help.out.find("-r, --each-run"), std::string::npos);
    EXPECT_NE(help.out.find("--min-run SECONDS"), std::string::npos);
    // The seven lines of the usage text come first, as they were.
    EXPECT_EQ(help.out.rfind("=== Velkarin === v1.00\n", 0), 0u);
    EXPECT_LT(help.out.find("-l : Output most large PMT and streams."), help.out.find("--each-run"));
}

// A run whose output cannot be made stops the split and leaves no file; nothing is written
// without a PMT.
TEST(EachRun, Failures) {
    Case c({{'A', 3}, {'B', 3}});
    fs::create_directory(c.dir / ("rec_02_" + CRC('B') + ".ts"));
    Result r = c.Run({"-r"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error: Failed open rec_02_" + CRC('B') + ".ts."), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(c.dir / ("rec_01_" + CRC('A') + ".ts")));

    ScratchDir dir;
    Mux m;
    m.Section(0, PatSection(1, {{0, 0x10}, {1024, kPMT}}));
    m.Es(kVideo);
    testfiles::Write(dir / "rec.ts", m.File());
    Result none = RunCommand("velkarin", {"rec.ts", "-r"}, dir.path);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("No PMT found in rec.ts; nothing written."), std::string::npos) << none.err;
}

// ---------------------------------------------------------------------------------------------
// On the shared streams: the files of -r open in ffprobe and add up to the listing.
// ---------------------------------------------------------------------------------------------

bool HasFFprobe() { return std::system("ffprobe -version >/dev/null 2>&1") == 0; }

TEST(EachRunShared, FilesOpenInFFprobeAndAddUpToTheListing) {
    for (const char* name : {"pmt-aba.ts", "broadcast.ts"}) {
        SCOPED_TRACE(name);
        const fs::path source = testfiles::SharedStream(name);
        if (source.empty()) GTEST_SKIP() << "../shared/streams/" << name << " is absent; skipped";
        ScratchDir dir;
        fs::create_symlink(source, dir / name);
        Result listed = RunCommand("velkarin", {name, "-v"}, dir.path);
        uint64_t total = 0;
        std::regex bytes("  bytes ([0-9]+), runs ([0-9]+)\n");
        uint32_t runs = 0;
        for (std::sregex_iterator it(listed.out.begin(), listed.out.end(), bytes), end; it != end; ++it)
            total += std::stoull((*it)[1]), runs += static_cast<uint32_t>(std::stoul((*it)[2]));
        ASSERT_GT(total, 0u);
        ASSERT_EQ(RunCommand("velkarin", {name, "-r"}, dir.path).status, 0);
        uint64_t sum = 0;
        uint32_t files = 0;
        for (const auto& e : fs::directory_iterator(dir.path)) {
            if (e.path().filename() == name) continue;
            sum += fs::file_size(e.path());
            ++files;
            if (!HasFFprobe()) continue;
            const std::string cmd = "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + e.path().string() + " 2>/dev/null";
            FILE* f = ::popen(cmd.c_str(), "r");
            char buf[512] = {};
            const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
            EXPECT_EQ(::pclose(f), 0) << e.path();
            EXPECT_NE(std::string(buf, n).find("video"), std::string::npos) << e.path();
        }
        EXPECT_EQ(sum, total);
        EXPECT_EQ(files, runs);
        EXPECT_GE(files, 3u);  // A, B, A
    }
    if (!HasFFprobe()) GTEST_SKIP() << "ffprobe is not installed: the files were not opened";
}

}  // namespace
