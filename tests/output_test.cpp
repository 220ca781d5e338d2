// Outputs of the splits: a file under its final name is whole. A failed write, a failed open
// of another output, a signal or a full file system leaves no piece cut short and names
// every output not written; an existing file stays as it was until it is replaced; outputs
// that are not regular files are written directly.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "files.h"
#include "mux.h"
#include "core/output.h"

using namespace tsb;
using testfiles::ScratchDir;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t kPMT = 0x1F0, kVideo = 0x111;

std::string Hex(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%08X", v);
    return s;
}

// A stream and the names of its outputs beside an input named rec.ts, in the order the
// split opens them.
struct Input {
    Bytes bytes;
    std::vector<std::string> names;
};

// One program whose PMT goes A, B, A, with `a`, `b` and `a2` video packets in the runs.
Input Recording(int a, int b, int a2) {
    Mux m;
    Input in;
    auto run = [&](int audios, int n, bool named) {
        m.Section(0, PatSection(1, {{0, 0x10}, {1024, kPMT}}));
        std::vector<Stream> s{{0x02, kVideo, {}}};
        for (int i = 0; i < audios; ++i) s.push_back({0x04, static_cast<uint16_t>(0x112 + i), {}});
        Bytes pmt = PmtSection(1024, kVideo, {}, s);
        m.Section(kPMT, pmt);
        if (named) in.names.push_back("rec_" + Hex(TrailingU32(pmt)) + ".ts");
        for (int i = 0; i < n; ++i) m.Es(kVideo);
    };
    run(1, a, true);
    run(2, b, true);
    run(1, a2, false);
    in.bytes = m.File();
    return in;
}

// Programs 1 and 2 with `one` and `two` video packets each, interleaved.
Mux Programs(int one, int two) {
    Mux m;
    m.Section(0, PatSection(1, {{1, 0x100}, {2, 0x200}}));
    m.Section(0x100, PmtSection(1, 0x101, {}, {{0x1B, 0x101, {}}}));
    m.Section(0x200, PmtSection(2, 0x201, {}, {{0x1B, 0x201, {}}}));
    for (int i = 0; i < std::max(one, two); ++i) {
        if (i < one) m.Es(0x101);
        if (i < two) m.Es(0x201);
    }
    return m;
}

int32_t SplitPMTs(const char* in) { return TS_PMTSplitFile(in, 1, 0, nullptr); }
int32_t SplitPrograms(const char* in) { return TS_ProgramSplitFile(in); }

std::map<std::string, Bytes> FilesIn(const fs::path& dir) {
    std::map<std::string, Bytes> out;
    for (const auto& e : fs::directory_iterator(dir))
        out[e.path().filename().string()] = e.is_regular_file() ? testfiles::Read(e.path()) : Bytes{};
    return out;
}

std::set<std::string> NamesIn(const fs::path& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

template <class F>
std::string StderrOf(F&& f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

// The write seam: real writes until `g_budget` bytes have gone out, then `g_error`.
size_t g_budget;
int g_error;
ssize_t LimitedWrite(int fd, const void* bytes, size_t length) {
    if (g_budget == 0) {
        errno = g_error;
        return -1;
    }
    const ssize_t n = ::write(fd, bytes, std::min(length, g_budget));
    if (n > 0) g_budget -= static_cast<size_t>(n);
    return n;
}
struct LimitedWrites {
    LimitedWrites(size_t budget, int error) {
        g_budget = budget;
        g_error = error;
        ts_detail::SetWriteFunction(&LimitedWrite);
    }
    ~LimitedWrites() { ts_detail::SetWriteFunction(nullptr); }
};

TEST(OutputWriteFailure, LeavesEachOutputWholeOrAsItWasAndNamesTheOthers) {
    struct Case {
        const char* what;
        Input (*input)();
        int32_t (*split)(const char*);
        size_t extra;              // bytes written beyond the outputs completed
        int error;
        size_t failed;             // output whose write fails
        std::set<size_t> kept;     // outputs completed before the failure
    };
    // B's run, longer than the write buffer, reaches the disk while A's file is still open.
    auto long_b = [] { return Recording(100, 1500, 10); };
    auto small = [] { return Recording(10, 10, 10); };
    auto long_two = [] { return Input{Programs(20, 1500).File(), {"rec_1_0_0.ts", "rec_2_0_0.ts"}}; };
    const Case cases[] = {
        {"B's first write, A open", long_b, SplitPMTs, 0, ENOSPC, 1, {}},
        {"B cut after 1000 bytes", long_b, SplitPMTs, 1000, EIO, 1, {}},
        {"B at its completion, after A's", small, SplitPMTs, 376, ENOSPC, 1, {0}},
        {"program 2 cut, program 1 open", long_two, SplitPrograms, 5000, ENOSPC, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Input in = c.input();
        ScratchDir ref, run;
        testfiles::Write(ref / "rec.ts", in.bytes);
        ASSERT_EQ(c.split((ref / "rec.ts").c_str()), 0);
        const auto expected = FilesIn(ref.path);
        ASSERT_EQ(expected.size(), in.names.size() + 1);

        testfiles::Write(run / "rec.ts", in.bytes);
        const Bytes old{1, 2, 3};
        testfiles::Write(run / in.names[0], old);  // an earlier file of the first name
        size_t budget = c.extra;
        for (size_t k : c.kept) budget += expected.at(in.names[k]).size();
        std::string err;
        {
            LimitedWrites limited(budget, c.error);
            err = StderrOf([&] { EXPECT_EQ(c.split((run / "rec.ts").c_str()), -5); });
        }
        std::string lost;
        for (size_t i = 0; i < in.names.size(); ++i)
            if (!c.kept.count(i)) lost += (lost.empty() ? "" : ", ") + (run / in.names[i]).string();
        EXPECT_EQ(err, "Error: Failed write " + (run / in.names[c.failed]).string() + " (" + std::strerror(c.error) +
                           ").\nError: not written: " + lost + ".\n");
        // Completed outputs hold what a clean run writes, the first name's earlier file stays
        // as it was, and nothing else is left.
        auto want = std::map<std::string, Bytes>{{"rec.ts", in.bytes}, {in.names[0], old}};
        for (size_t k : c.kept) want[in.names[k]] = expected.at(in.names[k]);
        EXPECT_EQ(FilesIn(run.path), want);
    }
}

// A name taken by a directory stops -a of velkarin-programs when a program comes back: the
// file the program completed before is kept and printed; the open and the refused ones are
// named as not written.
TEST(OutputOpenFailure, KeepsAndPrintsOnlyTheCompletedFiles) {
    Mux m = Programs(3, 3);
    m.Section(0, PatSection(1, {{2, 0x200}}));  // program 1 leaves: its file is complete
    m.Es(0x201);
    ScratchDir ref, dir;
    testfiles::Write(ref / "rec.ts", m.File());
    ASSERT_EQ(TS_ProgramSplitFile((ref / "rec.ts").c_str()), 0);
    m.Section(0, PatSection(1, {{1, 0x100}, {2, 0x200}}));  // and comes back, into rec_1_0_1.ts
    m.Section(0x100, PmtSection(1, 0x101, {}, {{0x1B, 0x101, {}}}));
    m.Es(0x101);
    testfiles::Write(dir / "rec.ts", m.File());
    fs::create_directory(dir / "rec_1_0_1.ts");
    auto r = testfiles::RunCommand("velkarin-programs", {(dir / "rec.ts").string(), "-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, (dir / "rec_1_0_0.ts").string() + "\n");
    EXPECT_EQ(r.err, "Error: Failed open " + (dir / "rec_1_0_1.ts").string() + ".\nError: not written: " +
                         (dir / "rec_1_0_1.ts").string() + ", " + (dir / "rec_2_0_0.ts").string() +
                         ".\nvelkarin-programs: " + (dir / "rec_1_0_1.ts").string() + ": Is a directory\n");
    EXPECT_EQ(NamesIn(dir.path), (std::set<std::string>{"rec.ts", "rec_1_0_0.ts", "rec_1_0_1.ts"}));
    EXPECT_EQ(testfiles::Read(dir / "rec_1_0_0.ts"), testfiles::Read(ref / "rec_1_0_0.ts"));
}

// Waits up to ten seconds for `done`.
template <class F>
bool WaitFor(F&& done) {
    for (int i = 0; i < 1000; ++i) {
        if (done()) return true;
        ::usleep(10000);
    }
    return false;
}

TEST(OutputSignal, RemovesThePiecesNotCompletedAndEndsOfTheSignal) {
    // The first part opens every output; velkarin-programs also completes program 1's file
    // there, which stays. It is longer than what the packet size is decided on, so the scan
    // starts before the input ends.
    Input pmts = Recording(1500, 0, 0);
    Mux m = Programs(800, 800);
    m.Section(0, PatSection(1, {{2, 0x200}}));
    m.Es(0x201);
    const Bytes programs = m.File();
    ScratchDir ref;
    testfiles::Write(ref / "rec.ts", programs);
    ASSERT_EQ(TS_ProgramSplitFile((ref / "rec.ts").c_str()), 0);
    const Bytes completed = testfiles::Read(ref / "rec_1_0_0.ts");

    struct Case {
        const char* command;
        int sig;
    };
    for (const Case& c : {Case{"velkarin", SIGTERM}, Case{"velkarin", SIGINT}, Case{"velkarin-programs", SIGHUP},
                          Case{"velkarin-programs", SIGTERM}}) {
        SCOPED_TRACE(std::string(c.command) + " " + strsignal(c.sig));
        const bool by_program = std::string(c.command) == "velkarin-programs";
        ScratchDir dir, capture;
        const fs::path fifo = dir / "rec.ts";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        // A FIFO is no place beside which to make names: the outputs go where -o says.
        const pid_t pid = testfiles::StartCommand(c.command, {fifo.string(), "-a", "-o", dir.path.string()}, {}, capture / "out",
                                                  capture / "err");
        int fd = -1;
        ASSERT_TRUE(WaitFor([&] { return (fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
        const Bytes& part = by_program ? programs : pmts.bytes;
        ASSERT_GT(part.size(), 256u * 1024);
        ASSERT_EQ(::fcntl(fd, F_SETFL, 0), 0);  // blocking writes from here
        for (size_t at = 0; at < part.size();) {
            const ssize_t n = ::write(fd, part.data() + at, part.size() - at);
            ASSERT_GT(n, 0);
            at += static_cast<size_t>(n);
        }
        auto ready = [&] {
            const auto names = NamesIn(dir.path);
            bool temp = false;
            for (const auto& n : names) temp = temp || n.ends_with(".part");
            return temp && (!by_program || names.count("rec_1_0_0.ts"));
        };
        EXPECT_TRUE(WaitFor(ready)) << testfiles::ReadText(capture / "err");
        ::kill(pid, c.sig);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ::close(fd);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << status;
        auto want = std::map<std::string, Bytes>{{"rec.ts", {}}};
        if (by_program) want["rec_1_0_0.ts"] = completed;
        EXPECT_EQ(FilesIn(dir.path), want);
    }
}

// The full-disk case on a real file system: a 2 MiB tmpfs (root only).
TEST(OutputFullDisk, SmallFileSystemKeepsNoBrokenPiece) {
    REQUIRE_SHARED_STREAM(aba, "pmt-aba.ts");
    if (::geteuid() != 0) GTEST_SKIP() << "not running as root: no tmpfs to fill; skipped";
    ScratchDir dir;
    if (::mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "mount -t tmpfs -o size=2m failed (" << std::strerror(errno) << "); skipped";
    struct Unmount {
        const fs::path& path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{dir.path};
    const std::string piece = (dir / "piece.ts").string();
    auto r = testfiles::RunCommand("velkarin", {aba.string(), "BBC7FC35", piece});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed write " + piece + " (No space left on device).\nError: not written: " + piece +
                         ".\nvelkarin: " + piece + ": No space left on device\n");
    EXPECT_TRUE(fs::is_empty(dir.path));
    // -a beside a link to the input: the piece begun is removed.
    fs::create_symlink(aba, dir / "aba.ts");
    r = testfiles::RunCommand("velkarin", {(dir / "aba.ts").string(), "-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error: not written: " + (dir / "aba_BBC7FC35.ts").string() + ".\n"), std::string::npos) << r.err;
    EXPECT_EQ(NamesIn(dir.path), std::set<std::string>{"aba.ts"});
}

TEST(OutputFile, ReplacesAnExistingFileOnlyOnceComplete) {
    ScratchDir dir;
    const fs::path file = dir / "out.ts";
    fs::create_symlink("out.ts", dir / "link.ts");
    const Bytes fresh(300 * 1024, 0x47);  // more than the buffer: it reaches the disk at once
    for (const fs::path& name : {file, dir / "link.ts"}) {
        SCOPED_TRACE(name);
        testfiles::Write(file, Bytes{1, 2, 3});
        ::chmod(file.c_str(), 0640);
        ASSERT_EQ(ts_detail::OpenOutput(0, name.c_str(), nullptr, -4), 0);
        ASSERT_EQ(ts_detail::WriteOutput(0, fresh.data(), static_cast<uint32_t>(fresh.size())), 0);
        EXPECT_EQ(testfiles::Read(file), (Bytes{1, 2, 3}));
        EXPECT_EQ(NamesIn(dir.path).size(), 3u);  // the temporary file beside it
        ASSERT_EQ(ts_detail::FinishOutputs(0), 0);
        EXPECT_EQ(testfiles::Read(file), fresh);
        EXPECT_EQ(fs::status(file).permissions(), static_cast<fs::perms>(0640));
        EXPECT_TRUE(fs::is_symlink(dir / "link.ts"));
        EXPECT_EQ(NamesIn(dir.path), (std::set<std::string>{"out.ts", "link.ts"}));
    }
    // A new file gets 0666 less the umask.
    const mode_t mask = ::umask(002);
    ASSERT_EQ(ts_detail::OpenOutput(0, (dir / "new.ts").c_str(), nullptr, -4), 0);
    EXPECT_EQ(ts_detail::FinishOutputs(0), 0);
    ::umask(mask);
    EXPECT_EQ(fs::status(dir / "new.ts").permissions(), static_cast<fs::perms>(0664));
    // A rename that fails (a directory took the name meanwhile) is a failed write.
    const std::string gone = (dir / "gone.ts").string();
    ASSERT_EQ(ts_detail::OpenOutput(0, gone.c_str(), nullptr, -4), 0);
    fs::create_directory(gone);
    EXPECT_EQ(StderrOf([] { EXPECT_EQ(ts_detail::FinishOutputs(0), -5); }),
              "Error: Failed write " + gone + " (Is a directory).\nError: not written: " + gone + ".\n");
    EXPECT_TRUE(ts_detail::OutputNotWritten(gone.c_str()));
    EXPECT_FALSE(ts_detail::OutputNotWritten((dir / "new.ts").c_str()));
    EXPECT_EQ(NamesIn(dir.path), (std::set<std::string>{"out.ts", "link.ts", "new.ts", "gone.ts"}));
}

TEST(OutputFile, RefusesTheInputAndDirectoriesBeforeMakingAnything) {
    ScratchDir dir;
    const Bytes bytes = Recording(5, 0, 0).bytes;
    const fs::path in = dir / "rec.ts";
    testfiles::Write(in, bytes);
    fs::create_hard_link(in, dir / "hard.ts");
    fs::create_symlink("rec.ts", dir / "soft.ts");
    fs::create_directory(dir / "sub");
    const auto before = NamesIn(dir.path);
    ts_detail::InputFile input;
    ASSERT_EQ(ts_detail::OpenInput(&input, in.c_str()), 0);
    for (const fs::path& name : {in, dir / "." / "rec.ts", dir / "hard.ts", dir / "soft.ts", dir / "sub"}) {
        EXPECT_EQ(StderrOf([&] { EXPECT_EQ(ts_detail::OpenOutput(0, name.c_str(), &input, -4), -4); }),
                  "Error: Failed open " + name.string() + ".\n");
        // A refusal alone is its own message.
        EXPECT_EQ(StderrOf([] { EXPECT_EQ(ts_detail::FinishOutputs(-4), -4); }), "");
    }
    ts_detail::CloseInput(&input);
    EXPECT_EQ(testfiles::Read(in), bytes);
    EXPECT_EQ(NamesIn(dir.path), before);
}

TEST(OutputFile, FIFOsDevicesAndStandardOutputAreWrittenDirectly) {
    const Input in = Recording(30, 0, 0);
    ScratchDir dir;
    testfiles::Write(dir / "rec.ts", in.bytes);
    const std::string crc = in.names[0].substr(4, 8);
    ASSERT_EQ(testfiles::RunCommand("velkarin", {(dir / "rec.ts").string(), crc, (dir / "file.ts").string()}).status, 0);
    const Bytes piece = testfiles::Read(dir / "file.ts");
    ASSERT_FALSE(piece.empty());
    // A FIFO gets the bytes as they are written and stays a FIFO. Held open here for reading
    // and writing, it opens at once and keeps the small piece in its buffer.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const int fifo = ::open((dir / "fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    auto r = testfiles::RunCommand("velkarin", {(dir / "rec.ts").string(), crc, (dir / "fifo").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    Bytes through(piece.size() + 1);
    EXPECT_EQ(::read(fifo, through.data(), through.size()), static_cast<ssize_t>(piece.size()));
    through.resize(piece.size());
    ::close(fifo);
    EXPECT_EQ(through, piece);
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    // A null device takes the piece and stays the device: one made here when allowed, so that
    // a fault could never replace the system's /dev/null.
    std::string null = "/dev/null";
    if (::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) null = (dir / "null").string();
    r = testfiles::RunCommand("velkarin", {(dir / "rec.ts").string(), crc, null});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_character_file(null));
    fs::remove(dir / "null");
    // "-" is standard output.
    r = testfiles::RunCommand("velkarin", {(dir / "rec.ts").string(), crc, "-"}, {}, (dir / "stdout").string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testfiles::Read(dir / "stdout"), piece);
    EXPECT_EQ(NamesIn(dir.path), (std::set<std::string>{"rec.ts", "file.ts", "fifo", "stdout"}));
}

// Hidden inputs keep their whole name as the base, so two of them in one folder get pieces of
// their own.
TEST(OutputNames, HiddenInputsKeepTheirNames) {
    const Input in = Recording(5, 0, 0);
    ScratchDir dir;
    std::set<std::string> want;
    for (const auto& [name, base] : {std::pair{".ts", ".ts"}, std::pair{".rec.ts", ".rec"}}) {
        testfiles::Write(dir / name, in.bytes);
        EXPECT_EQ(testfiles::RunCommand("velkarin", {(dir / name).string(), "-a"}).status, 0) << name;
        want.insert(name);
        for (const auto& piece : in.names) want.insert(base + piece.substr(3));  // base + "_<CRC>.ts"
    }
    EXPECT_EQ(NamesIn(dir.path), want);
}

}  // namespace
