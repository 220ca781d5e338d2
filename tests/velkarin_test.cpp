// The velkarin command end to end: requests, listing, names of the outputs, exit statuses
// and the failures a user meets.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>

#include "files.h"
#include "mux.h"

using namespace tsb;
using testfiles::RunCommand;
using testfiles::ScratchDir;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t kPMT = 0x1F0, kVideo = 0x111, kAudio = 0x112;

Bytes Pmt(int audios) {
    std::vector<Stream> s{{0x02, kVideo, {}}};
    for (int i = 0; i < audios; ++i) s.push_back({0x04, static_cast<uint16_t>(kAudio + i), {}});
    return PmtSection(1024, kVideo, {}, s);
}

// PMT A with `a` video packets, then B with `b`, then A again with `a2`.
Bytes Recording(int a, int b, int a2) {
    Mux m;
    auto run = [&](const Bytes& pmt, int n) {
        m.Section(0, PatSection(1, {{0, 0x10}, {1024, kPMT}}));
        m.Section(kPMT, pmt);
        for (int i = 0; i < n; ++i) m.Es(kVideo, i % 20 == 0);
    };
    run(Pmt(1), a);
    run(Pmt(2), b);
    run(Pmt(1), a2);
    return m.File();
}

std::string Hex(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%08X", v);
    return s;
}

struct Rec {
    ScratchDir dir;
    fs::path input;
    explicit Rec(const Bytes& file, const std::string& name = "rec.2024.ts") : input(dir / name) {
        testfiles::Write(input, file);
    }
};

TEST(Velkarin, UsageForWrongArgumentCounts) {
    // Too many arguments are a usage error; without any, the usage text.
    auto many = RunCommand("velkarin", {"a", "b", "c", "d"});
    EXPECT_EQ(many.status, 2);
    EXPECT_EQ(many.err, "velkarin: too many arguments: 'd'\nTry 'velkarin --help' for more information.\n");
    for (const auto& args : std::vector<std::vector<std::string>>{{}}) {
        auto r = RunCommand("velkarin", args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out,
                  "=== Velkarin === v1.00\n"
                  "Split PMT and streams from one-program MPEG-2 TS file.\n"
                  "Usage: velkarin <input TS filename> [-a] [-l] [<PMT CRC32> [<output TS filename>]]\n"
                  "To check PMT CRC32, <input TS filename> only to parameter.\n"
                  "\n"
                  "-a : Output all PMT and streams.\n"
                  "-l : Output most large PMT and streams.\n");
    }
}

TEST(Velkarin, InvalidCRCArgumentsAreRefusedBeforeAnythingOpens) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"missing.ts", "12G4"}, {"missing.ts", "-a", "out.ts"}, {"missing.ts", " 1"},
             {"missing.ts", ""}, {"missing.ts", "0x"}, {"missing.ts", "0X", "out.ts"}, {"missing.ts", "0xG1"}}) {
        auto r = RunCommand("velkarin", args);
        EXPECT_EQ(r.status, 255) << args[1];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error: invalid PMT CRC32.\n");  // and the input was never opened
    }
}

TEST(Velkarin, ListingSumsTheRunsOfEachPMTInWholeMiB) {
    // A: 3000 + 3000 packets, about 1.08 MiB in all; B: 500 packets.
    Rec rec(Recording(3000, 500, 3000));
    auto r = RunCommand("velkarin", {rec.input.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "PMT CRC32:0x" + Hex(TrailingU32(Pmt(1))) + " size:1MB\n" +
                         "PMT CRC32:0x" + Hex(TrailingU32(Pmt(2))) + " size:0MB\n");
    EXPECT_EQ(r.err, "");
}

TEST(Velkarin, SplitRequestsNameTheirOutputs) {
    Rec rec(Recording(50, 80, 40));
    const std::string a = Hex(TrailingU32(Pmt(1))), b = Hex(TrailingU32(Pmt(2)));
    auto all = RunCommand("velkarin", {rec.input.string(), "-a"});
    EXPECT_EQ(all.status, 0) << all.err;
    const uint64_t size_a = fs::file_size(rec.dir / ("rec.2024_" + a + ".ts"));
    const uint64_t size_b = fs::file_size(rec.dir / ("rec.2024_" + b + ".ts"));
    EXPECT_EQ(size_a, (2 + 50 + 2 + 40) * 188u);
    EXPECT_EQ(size_b, (2 + 80) * 188u);

    // -l takes the largest PMT: A, with its two runs together.
    auto largest = RunCommand("velkarin", {rec.input.string(), "-l"});
    EXPECT_EQ(largest.status, 0) << largest.err;
    EXPECT_EQ(testfiles::Read(rec.dir / "rec.2024_L.ts"), testfiles::Read(rec.dir / ("rec.2024_" + a + ".ts")));

    // A CRC in any case, with or without 0x; with an output name.
    fs::remove(rec.dir / ("rec.2024_" + a + ".ts"));
    std::string lower = a;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    auto one = RunCommand("velkarin", {rec.input.string(), "0X" + lower});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(fs::file_size(rec.dir / ("rec.2024_" + a + ".ts")), size_a);
    auto named = RunCommand("velkarin", {rec.input.string(), a, (rec.dir / "mine.ts").string()});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(fs::file_size(rec.dir / "mine.ts"), size_a);
}

TEST(Velkarin, LargestOfEqualTotalsIsTheFirstListed) {
    Rec rec(Recording(30, 30, 0), "movie");
    auto r = RunCommand("velkarin", {rec.input.string(), "-l"});
    EXPECT_EQ(r.status, 0) << r.err;
    Bytes out = testfiles::Read(rec.dir / "movie_L.ts");
    ASSERT_EQ(out.size(), (2 + 30 + 2) * 188u);  // A's run and A's last PAT/PMT pair
    Bytes a_pmt = Pmt(1);
    EXPECT_TRUE(std::equal(a_pmt.begin(), a_pmt.end(), out.begin() + 188 + 5));
}

TEST(Velkarin, FailuresExitWithStatusOneAndSaySo) {
    Rec rec(Recording(10, 10, 10));
    const std::string input = rec.input.string();
    // A missing input.
    auto missing = RunCommand("velkarin", {(rec.dir / "missing.ts").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Error: Failed open " + (rec.dir / "missing.ts").string() + ".\nvelkarin: " +
                               (rec.dir / "missing.ts").string() + ": No such file or directory\n");
    // No PMT with that CRC: no file.
    auto none = RunCommand("velkarin", {input, "12345678"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("12345678"), std::string::npos);
    EXPECT_FALSE(fs::exists(rec.dir / "rec.2024_12345678.ts"));
    // The input itself as the output: refused, the input stays as it was.
    const Bytes before = testfiles::Read(rec.input);
    auto self = RunCommand("velkarin", {input, Hex(TrailingU32(Pmt(1))), (rec.dir / "." / "rec.2024.ts").string()});
    EXPECT_EQ(self.status, 1);
    EXPECT_EQ(self.err, "Error: Failed open " + (rec.dir / "." / "rec.2024.ts").string() + ".\nvelkarin: " +
                            (rec.dir / "." / "rec.2024.ts").string() + ": is the input file\n");
    EXPECT_EQ(testfiles::Read(rec.input), before);
    // A full disk.
    if (fs::exists("/dev/full")) {
        auto full = RunCommand("velkarin", {input, Hex(TrailingU32(Pmt(1))), "/dev/full"});
        EXPECT_EQ(full.status, 1);
        EXPECT_NE(full.err.find("/dev/full"), std::string::npos);
    }
    // An output that cannot be created: a directory stands in its way.
    fs::create_directory(rec.dir / ("rec.2024_" + Hex(TrailingU32(Pmt(2))) + ".ts"));
    auto blocked = RunCommand("velkarin", {input, "-a"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_NE(blocked.err.find("Error: Failed open"), std::string::npos);
}

TEST(Velkarin, UnwritableOutputDirectory) {
    if (::geteuid() == 0) GTEST_SKIP() << "running as root: directory permissions do not stop writes";
    Rec rec(Recording(10, 10, 10));
    fs::permissions(rec.dir.path, fs::perms::owner_read | fs::perms::owner_exec);
    auto r = RunCommand("velkarin", {rec.input.string(), "-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error: Failed open"), std::string::npos);
}

TEST(Velkarin, StreamsWithoutAPMTOrWithSeveralPrograms) {
    Mux empty;
    empty.Section(0, PatSection(1, {{0, 0x10}}));
    empty.Es(kVideo);
    Rec rec(empty.File());
    auto largest = RunCommand("velkarin", {rec.input.string(), "-l"});
    EXPECT_EQ(largest.status, 1);
    EXPECT_NE(largest.err.find("No PMT"), std::string::npos);
    EXPECT_FALSE(fs::exists(rec.dir / "rec.2024_L.ts"));

    Mux three;
    three.Section(0, PatSection(1, {{1, 0x100}, {2, 0x101}, {3, 0x102}}));
    Rec multi(three.File());
    auto list = RunCommand("velkarin", {multi.input.string()});
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(list.err, "velkarin: " + multi.input.string() +
                            " carries 3 programs (1, 2, 3); choose one with --program N, or split them with velkarin-programs.\n");
}

// Progress shows on a terminal only: under a pseudo-terminal the percentage appears and the
// line is cleared; with standard error in a file nothing is written there on success.
TEST(Velkarin, ProgressOnATerminalOnly) {
    Rec rec(Recording(3000, 10, 10));
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string bin = std::string(VELKARIN_BIN_DIR) + "/velkarin";
        ::execl(bin.c_str(), bin.c_str(), rec.input.c_str(), "-a", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string seen;
    char buf[256];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) seen.append(buf, static_cast<size_t>(n));
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(seen.find("% "), std::string::npos) << seen;  // the share read so far
    EXPECT_NE(seen.find("MiB/s"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\r\033[K"), std::string::npos) << seen;  // cleared when done

    auto quiet = RunCommand("velkarin", {rec.input.string(), "-a"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

TEST(VelkarinShared, ListingsOfTheSampleStreams) {
    REQUIRE_SHARED_STREAM(sample, "sample.ts");
    auto r = RunCommand("velkarin", {sample.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "PMT CRC32:0xF64A0355 size:0MB\nPMT CRC32:0x27F915F9 size:0MB\n");
    REQUIRE_SHARED_STREAM(broadcast, "broadcast.ts");
    r = RunCommand("velkarin", {broadcast.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "PMT CRC32:0x01BAC2C4 size:4MB\nPMT CRC32:0xBD61B5D3 size:2MB\n");
    REQUIRE_SHARED_STREAM(three, "three-programs.ts");
    r = RunCommand("velkarin", {three.string()});
    EXPECT_EQ(r.status, 1);
}

}  // namespace
