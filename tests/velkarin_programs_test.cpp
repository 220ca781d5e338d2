// velkarin-programs end to end: the command run as a user runs it, its standard output,
// standard error, exit status and the files it leaves.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "builder.h"
#include "files.h"

namespace {

namespace fs = std::filesystem;

using testfiles::Result;

std::string Slurp(const std::string& path) { return testfiles::ReadText(path); }

// A scratch directory whose paths are strings, with a writer for stream images.
struct Dir : testfiles::ScratchDir {
    std::string operator/(const std::string& file) const { return (path / file).string(); }
    std::string Write(const std::string& file, const tsb::Bytes& bytes) const {
        std::string p = *this / file;
        testfiles::Write(p, bytes);
        return p;
    }
};

Result Command(const Dir&, const std::vector<std::string>& args) {
    return testfiles::RunCommand("velkarin-programs", args);
}

std::vector<std::string> Entries(const Dir& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The packets of a file without its PAT packets.
std::string WithoutPAT(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i + 188 <= bytes.size(); i += 188)
        if (((bytes[i + 1] & 0x1F) | bytes[i + 2]) != 0) out.append(bytes, i, 188);
    return out;
}

// A small two-program stream: network entry, programs 10 and 20.
tsb::Bytes TwoPrograms() {
    std::vector<tsb::Packet> pkts;
    auto add = [&](const std::vector<tsb::Packet>& more) { pkts.insert(pkts.end(), more.begin(), more.end()); };
    add(tsb::Packetize({.pid = 0}, {tsb::PatSection(1, {{0, 0x10}, {10, 0x100}, {20, 0x200}})}));
    add(tsb::Packetize({.pid = 0x100}, {tsb::PmtSection(10, 0x101, {}, {{0x1B, 0x101, {}}})}));
    add(tsb::Packetize({.pid = 0x200}, {tsb::PmtSection(20, 0x201, {}, {{0x0F, 0x201, {}}})}));
    for (uint8_t i = 0; i < 5; ++i) {
        pkts.push_back(tsb::MakePacket({.pid = 0x101, .cc = i}, tsb::Bytes(184, i)));
        pkts.push_back(tsb::MakePacket({.pid = 0x201, .cc = i}, tsb::Bytes(184, i)));
    }
    return tsb::Join(pkts);
}

TEST(VelkarinPrograms, HelpAndUsageErrors) {
    Dir dir;
    for (const char* flag : {"-h", "--help"}) {
        Result r = Command(dir, {flag});
        EXPECT_EQ(r.status, 0) << flag;
        EXPECT_NE(r.out.find("Usage: velkarin-programs FILE"), std::string::npos) << flag;
        EXPECT_EQ(r.err, "") << flag;
    }
    const std::string in = dir.Write("rec.ts", TwoPrograms());
    const std::vector<std::vector<std::string>> wrong = {
        {},                              // no argument
        {in, "-b"},                      // not -a
        {in, "0x100"},                   // PID without output
        {in, "0x100", "o.ts", "extra"},  // too many
        {in, "0x2000", "o.ts"},          // beyond 13 bits
        {in, "8192", "o.ts"},
        {in, "0x", "o.ts"},
        {in, "12z", "o.ts"},
        {in, "-5", "o.ts"},
        {in, "", "o.ts"},
    };
    for (const auto& args : wrong) {
        Result r = Command(dir, args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("Usage: velkarin-programs"), std::string::npos);
    }
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"rec.ts"});
}

TEST(VelkarinPrograms, ListsSplitsAndCopiesABuiltStream) {
    Dir dir;
    const std::string in = dir.Write("rec.ts", TwoPrograms());
    Result list = Command(dir, {in});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "program_number=10 pmt_pid=0x0100\nprogram_number=20 pmt_pid=0x0200\n");

    Result all = Command(dir, {in, "-a"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, dir / "rec_10_0_0.ts\n" + dir / "rec_20_0_0.ts\n");
    const std::string ten = Slurp(dir / "rec_10_0_0.ts");
    ASSERT_EQ(ten.size(), 188u * 7);  // PAT, PMT, five video packets

    // By PMT PID, in hexadecimal and in decimal: the same packets less the PAT.
    Result one = Command(dir, {in, "0x100", dir / "ten.ts"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "");
    EXPECT_EQ(Slurp(dir / "ten.ts"), WithoutPAT(ten));
    one = Command(dir, {in, "512", dir / "twenty.ts"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(Slurp(dir / "twenty.ts"), WithoutPAT(Slurp(dir / "rec_20_0_0.ts")));
}

TEST(VelkarinPrograms, FailuresNameTheFileOrPID) {
    Dir dir;
    const tsb::Bytes image = TwoPrograms();
    const std::string in = dir.Write("rec.ts", image);
    const std::string missing = dir / "missing.ts";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{missing}, {missing, "-a"}, {missing, "0x100", dir / "o.ts"}}) {
        Result r = Command(dir, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error: Failed open " + missing + ".\n");
    }

    // A program that is not in the file: no output made.
    Result r = Command(dir, {in, "0x300", dir / "o.ts"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("0x0300"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "o.ts"));

    // A file without any PAT: nothing to list or split.
    const std::string no_pat = dir.Write("nopat.ts", tsb::Join({tsb::MakePacket({.pid = 0x101}, {})}));
    for (const std::vector<std::string>& args : {std::vector<std::string>{no_pat}, {no_pat, "-a"}}) {
        r = Command(dir, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(no_pat), std::string::npos) << r.err;
    }

    // The output is the input: refused, the input untouched.
    r = Command(dir, {in, "0x100", in});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error - failed on _open(" + in + ") [dest]\n");
    EXPECT_EQ(Slurp(in), std::string(image.begin(), image.end()));

    // An output directory that does not exist; a full disk.
    r = Command(dir, {in, "0x100", dir / "none/o.ts"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error - failed on _open(" + dir / "none/o.ts" + ") [dest]\n");
    r = Command(dir, {in, "0x100", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/dev/full"), std::string::npos) << r.err;

    // -a: an output name taken by a directory; an output that is the input (a link).
    fs::create_directory(dir / "rec_20_0_0.ts");
    r = Command(dir, {in, "-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed open " + dir / "rec_20_0_0.ts" + ".\n");
    EXPECT_EQ(r.out, dir / "rec_10_0_0.ts\n");  // made before the failure, and kept
    fs::remove(dir / "rec_20_0_0.ts");
    fs::remove(dir / "rec_10_0_0.ts");
    fs::create_symlink(in, dir / "rec_10_0_0.ts");
    r = Command(dir, {in, "-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed open " + dir / "rec_10_0_0.ts" + ".\n");
    EXPECT_EQ(Slurp(in), std::string(image.begin(), image.end()));
    fs::remove(dir / "rec_10_0_0.ts");
    fs::create_symlink("/dev/full", dir / "rec_10_0_0.ts");
    r = Command(dir, {in, "-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rec_10_0_0.ts"), std::string::npos) << r.err;
}

struct Real {
    const char* file;
    const char* listing;
};

const Real kReal[] = {
    {"two-programs.ts", "program_number=1 pmt_pid=0x1000\nprogram_number=2 pmt_pid=0x1001\n"},
    {"three-programs.ts",
     "program_number=101 pmt_pid=0x1000\nprogram_number=102 pmt_pid=0x1001\n"
     "program_number=103 pmt_pid=0x1002\n"},
    {"broadcast.ts", "program_number=1024 pmt_pid=0x01F0\n"},
    {"broadcast-damaged.ts", "program_number=1024 pmt_pid=0x01F0\n"},
};

TEST(VelkarinPrograms, RealRecordings) {
    for (const Real& real : kReal) {
        SCOPED_TRACE(real.file);
        const std::string source = std::string(VELKARIN_STREAMS_DIR) + "/" + real.file;
        if (!fs::exists(source)) GTEST_SKIP() << source << " is absent";
        Dir dir;
        const std::string in = dir / real.file;
        fs::copy_file(source, in);
        Result list = Command(dir, {in});
        ASSERT_EQ(list.status, 0) << list.err;
        EXPECT_EQ(list.out, real.listing);

        Result all = Command(dir, {in, "-a"});
        ASSERT_EQ(all.status, 0) << all.err;
        // One file per listed program, named after it, each matched by the copy by PMT PID.
        const std::string base = fs::path(real.file).stem().string();
        std::istringstream lines(list.out), names(all.out);
        std::string line, name;
        while (std::getline(lines, line)) {
            ASSERT_TRUE(std::getline(names, name));
            unsigned number = 0, pid = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "program_number=%u pmt_pid=0x%X", &number, &pid), 2);
            EXPECT_EQ(name, dir / (base + "_" + std::to_string(number) + "_0_0.ts"));
            Result one = Command(dir, {in, std::to_string(pid), dir / "one.ts"});
            ASSERT_EQ(one.status, 0) << one.err;
            const std::string split = Slurp(name);
            EXPECT_GT(split.size(), 188u * 100);
            EXPECT_TRUE(Slurp(dir / "one.ts") == WithoutPAT(split)) << name;
        }
        EXPECT_FALSE(std::getline(names, name)) << "a file more than programs: " << name;
    }
}

}  // namespace
