// The input as the drivers get it: a mapped file gives exactly what reading it gives, damaged
// or not; a file that shrinks while it is read ends the run as a failed read, with the
// outputs holding whole packets of what was read.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

#include "core/input.h"
#include "core/output.h"
#include "core/scan.h"
#include "dump/dump.h"
#include "files.h"
#include "mux.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"

namespace {

using namespace tsb;
namespace fs = std::filesystem;

// A recording of `packets` elementary-stream packets (and some null packets): PMT A, then B
// with one more audio stream for the middle third, then A again; PAT and PMT every 400.
Bytes Recording(int packets) {
    Mux m;
    const Bytes pat = PatSection(1, {{0, 0x10}, {1, 0x100}});
    const Bytes a = PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}, {0x04, 0x102, {}}});
    const Bytes b = PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}, {0x04, 0x102, {}}, {0x04, 0x103, {}}}, 1);
    for (int k = 0; k < packets; ++k) {
        const bool middle = k >= packets / 3 && k < packets * 2 / 3;
        if (k % 400 == 0) m.Section(0, pat), m.Section(0x100, middle ? b : a);
        m.Es(k % 3 == 0 ? 0x102 : k % 7 == 0 && middle ? 0x103 : 0x101, k % 40 == 0);
        if (k % 97 == 0) m.Es(0x1FFF);
    }
    return Join(m.packets);
}

// Reads of 1000 bytes: the file is read, not mapped, and the scan's joins between reads fall
// everywhere.
ssize_t SmallReads(int fd, void* buffer, size_t length) { return ::read(fd, buffer, length < 1000 ? length : 1000); }

// Every file of a folder but the input, by name.
std::map<std::string, Bytes> Outputs(const fs::path& dir, const std::string& input) {
    std::map<std::string, Bytes> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != input) out[e.path().filename().string()] = testfiles::Read(e.path());
    return out;
}

struct Results {
    int32_t list = 0, split = 0, programs = 0;
    std::map<std::string, Bytes> files;
    std::string dump, err;
};

// The listing, both splits and the packet dump of `path`, in its folder.
Results RunAll(const fs::path& path) {
    Results r;
    const std::string name = path.string();
    for (const auto& e : fs::directory_iterator(path.parent_path()))
        if (e.path() != path) fs::remove(e.path());
    testing::internal::CaptureStderr();
    static TS_PMTSplitTable table;
    r.list = TS_CheckPMTSplit(&table, name.c_str());
    r.split = TS_PMTSplitFile(name.c_str(), 1, 0, nullptr);
    r.programs = TS_ProgramSplitFile(name.c_str());
    testing::internal::CaptureStdout();
    TS_Print(name.c_str(), 0x1FF);
    std::fflush(stdout);
    r.dump = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    r.files = Outputs(path.parent_path(), path.filename().string());
    return r;
}

TEST(MappedInput, GivesWhatReadingTheFileGivesCleanOrDamaged) {
    const Bytes clean = Recording(9000);
    auto damaged = [&](auto&& change) {
        Bytes b = clean;
        change(b);
        return b;
    };
    const std::vector<std::pair<const char*, Bytes>> inputs = {
        {"clean", clean},
        {"junk and lost bytes", damaged([](Bytes& b) {
             b.insert(b.begin() + 188 * 5000 + 17, 300, 0x47);
             b.erase(b.begin() + 188 * 9000 + 40, b.begin() + 188 * 9000 + 140);
             b.insert(b.begin(), {0x47, 0x00, 0x47});
         })},
        {"cut inside its last packet", damaged([](Bytes& b) { b.resize(b.size() - 77); })},
        {"192-byte units", [&] {
             Bytes m;
             for (size_t at = 0; at < clean.size(); at += 188) {
                 m.insert(m.end(), {0x12, 0x34, 0x56, 0x78});
                 m.insert(m.end(), clean.begin() + static_cast<long>(at), clean.begin() + static_cast<long>(at + 188));
             }
             return m;
         }()},
    };
    for (const auto& [what, bytes] : inputs) {
        testfiles::ScratchFile input(bytes);
        const Results mapped = RunAll(input.path);
        ts_detail::SetReadFunction(SmallReads);
        const Results read = RunAll(input.path);
        ts_detail::SetReadFunction(nullptr);
        EXPECT_EQ(mapped.list, 0) << what;
        EXPECT_EQ(mapped.split, 0) << what;
        EXPECT_EQ(mapped.programs, 0) << what;
        EXPECT_EQ(mapped.files.size(), 3u) << what;  // A, B and the program
        EXPECT_GT(mapped.dump.size(), 100000u) << what;
        EXPECT_TRUE(mapped.files == read.files) << what;
        EXPECT_EQ(mapped.dump, read.dump) << what;
        EXPECT_EQ(mapped.err, read.err) << what;
    }
}

// Truncates the input once the scan reaches an offset.
std::string g_shrinking;
uint64_t g_at = 0, g_to = 0;
void ShrinkAt(uint64_t offset) {
    if (g_at == 0 || offset < g_at) return;
    g_at = 0;
    ASSERT_EQ(::truncate(g_shrinking.c_str(), static_cast<off_t>(g_to)), 0);
}

TEST(MappedInput, AFileThatShrinksWhileItIsReadIsAFailedReadWithWholePacketsWritten) {
    const Bytes bytes = Recording(12000);
    const uint64_t size = bytes.size();
    ASSERT_GT(size % 4096, 200u);  // the last page is part full
    struct Case {
        const char* what;
        uint64_t at, to;
    } cases[] = {
        // Pages behind the scan gone, some of them still to be written.
        {"a megabyte behind the scan", 3u << 19, 1u << 19},
        // The page after the scan gone.
        {"just ahead of the scan", 1u << 20, (1u << 20) + 4096},
        // The mapping's pages all there, the last bytes read as zeros: told by the size.
        {"inside the last page", size - (size % 4096) - (256 << 10), size - 100},
    };
    testfiles::ScratchFile full(bytes);
    const Results whole = RunAll(full.path);
    ASSERT_EQ(whole.split, 0);
    ts_detail::SetScanPositionFunction(ShrinkAt);
    for (const Case& c : cases) {
        testfiles::ScratchFile input(bytes);
        g_shrinking = input.path;
        const std::string err = "Error: Failed read " + input.path + " (the file shrank while it was read).\n";
        static TS_PMTSplitTable table;
        g_at = c.at, g_to = c.to;
        testing::internal::CaptureStderr();
        EXPECT_EQ(TS_CheckPMTSplit(&table, input.path.c_str()), TS_READ_FAILED) << c.what;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err) << c.what;
        const char* failed = nullptr;
        EXPECT_EQ(TS_LastFailure(&failed), TS_FAILURE_INPUT_SHRANK) << c.what;
        EXPECT_EQ(std::string(failed), input.path);

        for (int driver = 0; driver < 2; ++driver) {
            testfiles::Write(input.path, bytes);
            g_at = c.at, g_to = c.to;
            testing::internal::CaptureStderr();
            const int32_t r = driver == 0 ? TS_PMTSplitFile(input.path.c_str(), 1, 0, nullptr)
                                          : TS_ProgramSplitFile(input.path.c_str());
            EXPECT_EQ(r, TS_READ_FAILED) << c.what << " " << driver;
            EXPECT_EQ(testing::internal::GetCapturedStderr(), err) << c.what << " " << driver;
            // Each file written is complete under its name and holds whole packets; before
            // the shrink's damage they are what the whole input gives.
            const auto files = Outputs(input.dir.path, "stream.ts");
            EXPECT_FALSE(files.empty()) << c.what;
            for (const auto& [name, got] : files) {
                ASSERT_TRUE(whole.files.count(name)) << c.what << " " << name;
                const Bytes& want = whole.files.at(name);
                EXPECT_EQ(got.size() % 188, 0u) << c.what << " " << name;
                EXPECT_LE(got.size(), want.size()) << c.what << " " << name;
                EXPECT_GT(got.size(), 0u) << c.what << " " << name;
                const size_t sure = std::min<size_t>(got.size(), c.to < size - 188 ? got.size() : got.size() - 188);
                EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<long>(sure), want.begin()))
                    << c.what << " " << name;
                fs::remove(input.dir / name);
            }
        }
    }
    ts_detail::SetScanPositionFunction(nullptr);
}

// Fails every write to a file whose name holds `g_failing`.
std::string g_failing;
ssize_t FailNamed(int fd, const void* bytes, size_t length) {
    char link[64], name[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, name, sizeof name - 1);
    if (n > 0 && std::string(name, static_cast<size_t>(n)).find(g_failing) != std::string::npos) {
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, bytes, length);
}

TEST(MappedInput, AWriteOfPagesLetGoBehindTheScanFailsTheRunAsAnyWriteWould) {
    // A's piece holds a few packets from the start of a mapped input of over 20 MB; they are
    // written when the scan lets their pages go, and that write fails.
    Mux m;
    const Bytes pat = PatSection(1, {{1, 0x100}});
    const Bytes a = PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}});
    const Bytes b = PmtSection(1, 0x101, {}, {{0x02, 0x101, {}}, {0x04, 0x102, {}}}, 1);
    m.Section(0, pat), m.Section(0x100, a);
    for (int k = 0; k < 20; ++k) m.Es(0x101, k == 0);
    m.Section(0, pat), m.Section(0x100, b);
    for (int k = 0; k < 115000; ++k) m.Es(k % 2 ? 0x101 : 0x102, k % 40 == 0);
    testfiles::ScratchFile input(Join(m.packets));
    char name[32];
    std::snprintf(name, sizeof name, "_%08X.ts", TrailingU32(a));
    g_failing = name;
    ts_detail::SetWriteFunction(FailNamed);
    testing::internal::CaptureStderr();
    const int32_t r = TS_PMTSplitFile(input.path.c_str(), 1, 0, nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    ts_detail::SetWriteFunction(nullptr);
    EXPECT_EQ(r, -5);
    const std::string a_name = (input.dir / ("stream" + std::string(name))).string();
    EXPECT_EQ(err.rfind("Error: Failed write " + a_name + " (No space left on device).\nError: not written: ", 0), 0u)
        << err;
    EXPECT_TRUE(Outputs(input.dir.path, "stream.ts").empty());
}

}  // namespace
