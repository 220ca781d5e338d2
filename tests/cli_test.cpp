// The command lines of the three commands as people use them: help and version, options in
// any position, usage errors, standard input and output, the output folder, the program
// followed, the service tables kept, the JSON listing and the statuses. Each case runs the
// built command; expectations come from the same command on a file, or from the stream built.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

#include "files.h"
#include "mux.h"

namespace {

namespace fs = std::filesystem;
using testfiles::Result;
using testfiles::RunCommand;
using testfiles::ScratchDir;
using tsb::Bytes;

// Runs a built command with `input` on its standard input, in `cwd`.
Result RunPiped(const std::string& name, const std::vector<std::string>& args, const Bytes& input, const fs::path& cwd) {
    ScratchDir capture;
    int in[2];
    EXPECT_EQ(::pipe(in), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::close(in[0]);
        ::close(in[1]);
        if (::chdir(cwd.c_str()) != 0) ::_exit(127);
        const int o = ::open((capture / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int e = ::open((capture / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::string bin = std::string(VELKARIN_BIN_DIR) + "/" + name;
        std::vector<std::string> copy = args;
        std::vector<char*> argv{bin.data()};
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(bin.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    for (size_t at = 0; at < input.size();) {
        const ssize_t n = ::write(in[1], input.data() + at, input.size() - at);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
    }
    ::close(in[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = testfiles::ReadText(capture / "out");
    r.err = testfiles::ReadText(capture / "err");
    return r;
}

// Every file in `dir` by name with its bytes, the inputs left out.
std::map<std::string, Bytes> Files(const fs::path& dir, const std::set<std::string>& inputs = {"rec.ts"}) {
    std::map<std::string, Bytes> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (!inputs.count(e.path().filename().string())) out[e.path().filename().string()] = testfiles::Read(e.path());
    return out;
}

// A one-program recording of PMTs A, B, A, with an SDT on 0x11 and a TDT on 0x14.
Bytes Recording() {
    tsb::Mux m;
    const Bytes a = tsb::PmtSection(1, 0x100, {}, {{0x02, 0x100, {}}, {0x04, 0x101, {}}});
    const Bytes b = tsb::PmtSection(1, 0x100, {}, {{0x02, 0x100, {}}, {0x04, 0x101, {}}, {0x04, 0x102, {}}}, 1);
    for (const Bytes* pmt : {&a, &b, &a}) {
        for (int i = 0; i < 4; ++i) {
            m.Section(0, tsb::PatSection(1, {{0, 0x10}, {1, 0x1000}}));
            m.Section(0x1000, *pmt);
            m.Es(0x100, true);
            for (int k = 0; k < 20; ++k) m.Es(k % 2 ? 0x101 : 0x100);
            m.Es(0x102);
            m.Es(0x11);
            m.Es(0x14);
        }
    }
    return m.File();
}

uint32_t CRCOf(bool b) {
    const Bytes s = b ? tsb::PmtSection(1, 0x100, {}, {{0x02, 0x100, {}}, {0x04, 0x101, {}}, {0x04, 0x102, {}}}, 1)
                      : tsb::PmtSection(1, 0x100, {}, {{0x02, 0x100, {}}, {0x04, 0x101, {}}});
    return tsb::TrailingU32(s);
}

std::string Hex8(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

TEST(CommandLine, HelpVersionAndUsageErrors) {
    const struct {
        const char* command;
        std::vector<std::string> args;
        int status;
        const char* out;  // a part of standard output
        const char* err;  // a part of standard error
    } rows[] = {
        {"velkarin", {"--help"}, 0, "Usage: velkarin <input TS filename> [-a] [-l] [<PMT CRC32> [<output TS filename>]]", ""},
        {"velkarin", {"-h"}, 0, "  -o, --output-dir DIR", ""},
        {"velkarin", {"--version"}, 0, "velkarin 1.0.0\n", ""},
        {"velkarin-programs", {"--version"}, 0, "velkarin-programs 1.0.0\n", ""},
        {"velkarin-dump", {"--version"}, 0, "velkarin-dump 1.0.0\n", ""},
        {"velkarin-programs", {"--help"}, 0, "--keep-si", ""},
        {"velkarin-dump", {"-h"}, 0, "--runs", ""},
        {"velkarin", {"rec.ts", "--bogus"}, 2, "", "velkarin: unknown option '--bogus'\nTry 'velkarin --help' for more information.\n"},
        {"velkarin", {"-a", "-l", "rec.ts"}, 2, "", "velkarin: -a and -l do not go together\n"},
        {"velkarin", {"rec.ts", "-a", "1A2B3C4D"}, 2, "", "velkarin: -a does not go with a PMT CRC32\n"},
        {"velkarin", {"rec.ts", "--json", "-a"}, 2, "", "velkarin: --json goes with the listing only\n"},
        {"velkarin", {"rec.ts", "--program"}, 2, "", "velkarin: option '--program' needs a value\n"},
        {"velkarin", {"rec.ts", "--program", "0"}, 2, "", "from 1 to 65535"},
        {"velkarin", {"rec.ts", "-a", "--all=1"}, 2, "", "velkarin: option '--all' takes no value\n"},
        {"velkarin", {"rec.ts", "1A2B3C4X"}, 255, "", "Error: invalid PMT CRC32.\n"},
        {"velkarin", {"rec.ts", "-a", "x1"}, 255, "", "Error: invalid PMT CRC32.\n"},
        {"velkarin-programs", {"-x", "rec.ts"}, 2, "", "velkarin-programs: unknown option '-x'\n"},
        {"velkarin-programs", {"rec.ts", "-a", "0x100", "o.ts"}, 2, "", "velkarin-programs: -a takes the input file alone\n"},
        {"velkarin-dump", {"--pat", "--runs", "rec.ts"}, 2, "", "velkarin-dump: --runs takes no print option\n"},
    };
    ScratchDir dir;
    testfiles::Write(dir / "rec.ts", Recording());
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.command) + " " + r.args[0]);
        Result got = RunCommand(r.command, r.args, dir.path);
        EXPECT_EQ(got.status, r.status) << got.err;
        EXPECT_NE(got.out.find(r.out), std::string::npos) << got.out;
        EXPECT_NE(got.err.find(r.err), std::string::npos) << got.err;
        if (r.status == 2) { EXPECT_NE(got.err.find("Try '"), std::string::npos); }
        if (r.status != 0) { EXPECT_EQ(got.out, ""); }
    }
    EXPECT_EQ(Files(dir.path).size(), 0u) << "a refused command line wrote a file";
}

// Options anywhere give the same result as in the usage text's order; "--" ends the options.
TEST(CommandLine, OptionsInAnyPosition) {
    const Bytes rec = Recording();
    ScratchDir before, after, dashed;
    for (const fs::path& d : {before.path, after.path}) testfiles::Write(d / "rec.ts", rec);
    testfiles::Write(dashed / "-rec.ts", rec);
    EXPECT_EQ(RunCommand("velkarin", {"rec.ts", "-a"}, before.path).status, 0);
    EXPECT_EQ(RunCommand("velkarin", {"--all", "rec.ts"}, after.path).status, 0);
    EXPECT_EQ(Files(before.path).size(), 2u);
    EXPECT_TRUE(Files(before.path) == Files(after.path));
    EXPECT_EQ(RunCommand("velkarin", {"-l", "--", "-rec.ts"}, dashed.path).status, 0);
    EXPECT_TRUE(fs::exists(dashed / "-rec_L.ts"));
}

// Standard input for the listing, -a, a CRC split (also to standard output) and -l, and the
// copy of one program to standard output: the same as from the file, the generated names
// made in the current folder as stdin_..., or in the output folder.
TEST(CommandLine, StandardInputAndOutput) {
    const Bytes rec = Recording();
    const std::string a = Hex8(CRCOf(false)), b = Hex8(CRCOf(true));
    ScratchDir file, pipe, out;
    testfiles::Write(file / "rec.ts", rec);
    const struct {
        std::vector<std::string> file_args, pipe_args;
        std::map<std::string, std::string> names;  // name from the file -> from the pipe
    } rows[] = {
        {{"rec.ts"}, {"-"}, {}},
        {{"rec.ts", "-v"}, {"-v", "-"}, {}},
        {{"rec.ts", "-a"}, {"-", "-a"}, {{"rec_" + a + ".ts", "stdin_" + a + ".ts"}, {"rec_" + b + ".ts", "stdin_" + b + ".ts"}}},
        {{"rec.ts", b}, {"-", b}, {{"rec_" + b + ".ts", "stdin_" + b + ".ts"}}},
        {{"rec.ts", "-l"}, {"-", "-l"}, {{"rec_L.ts", "stdin_L.ts"}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.pipe_args.back());
        for (const fs::path& d : {file.path, pipe.path})
            for (const auto& e : fs::directory_iterator(d))
                if (e.path().filename() != "rec.ts") fs::remove(e.path());
        Result from_file = RunCommand("velkarin", r.file_args, file.path);
        Result from_pipe = RunPiped("velkarin", r.pipe_args, rec, pipe.path);
        EXPECT_EQ(from_pipe.status, 0) << from_pipe.err;
        EXPECT_EQ(from_pipe.out, from_file.out);
        auto made = Files(pipe.path);
        EXPECT_EQ(made.size(), r.names.size());
        for (const auto& [name, piped] : r.names) {
            ASSERT_TRUE(made.count(piped)) << piped;
            EXPECT_TRUE(made[piped] == testfiles::Read(file / name)) << piped;
        }
    }
    // A piece or a program to standard output; the output folder for the names of a pipe.
    ASSERT_EQ(RunCommand("velkarin", {"rec.ts", "-a"}, file.path).status, 0);
    Result piece = RunPiped("velkarin", {"-", "0x" + b, "-"}, rec, pipe.path);
    EXPECT_EQ(piece.status, 0);
    EXPECT_TRUE(Bytes(piece.out.begin(), piece.out.end()) == testfiles::Read(file / ("rec_" + b + ".ts")));
    ASSERT_EQ(RunCommand("velkarin-programs", {"rec.ts", "0x1000", "one.ts"}, file.path).status, 0);
    Result program = RunPiped("velkarin-programs", {"-", "0x1000", "-"}, rec, pipe.path);
    EXPECT_EQ(program.status, 0);
    EXPECT_TRUE(Bytes(program.out.begin(), program.out.end()) == testfiles::Read(file / "one.ts"));
    EXPECT_EQ(RunPiped("velkarin", {"-a", "-o", out.path.string(), "-"}, rec, pipe.path).status, 0);
    EXPECT_EQ(Files(out.path, {}).size(), 2u);
    EXPECT_TRUE(fs::exists(out / ("stdin_" + a + ".ts")));
    EXPECT_EQ(RunPiped("velkarin-programs", {"--output-dir", out.path.string(), "-a", "-"}, rec, pipe.path).status, 0);
    EXPECT_TRUE(fs::exists(out / "stdin_1_0_0.ts"));
    // A device as the input: names never beside it.
    Result dev = RunPiped("velkarin", {"/dev/stdin", "-a"}, rec, pipe.path);
    EXPECT_EQ(dev.status, 0) << dev.err;
    EXPECT_TRUE(fs::exists(pipe / ("stdin_" + a + ".ts")));
    // A file's names go to the output folder, with the file's own base name.
    ScratchDir elsewhere;
    EXPECT_EQ(RunCommand("velkarin", {(file / "rec.ts").string(), "-a", "-o", elsewhere.path.string()}).status, 0);
    EXPECT_TRUE(Files(elsewhere.path, {}) == (std::map<std::string, Bytes>{{"rec_" + a + ".ts", testfiles::Read(file / ("rec_" + a + ".ts"))},
                                                                             {"rec_" + b + ".ts", testfiles::Read(file / ("rec_" + b + ".ts"))}}));
}

// A PAT of two programs: velkarin names them instead of picking one; --program picks.
TEST(CommandLine, TheProgramFollowed) {
    tsb::Mux m;
    for (int i = 0; i < 3; ++i) {
        m.Section(0, tsb::PatSection(1, {{1, 0x1000}, {2, 0x1001}}));
        m.Section(0x1000, tsb::PmtSection(1, 0x100, {}, {{0x02, 0x100, {}}}));
        m.Section(0x1001, tsb::PmtSection(2, 0x200, {}, {{0x02, 0x200, {}}}));
        for (int k = 0; k < 5; ++k) m.Es(0x100), m.Es(0x200);
    }
    ScratchDir dir;
    testfiles::Write(dir / "rec.ts", m.File());
    Result none = RunCommand("velkarin", {"rec.ts"}, dir.path);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "velkarin: rec.ts carries 2 programs (1, 2); choose one with --program N, or split them with velkarin-programs.\n");
    const uint32_t two = tsb::TrailingU32(tsb::PmtSection(2, 0x200, {}, {{0x02, 0x200, {}}}));
    Result chosen = RunCommand("velkarin", {"rec.ts", "--program", "2", "-v"}, dir.path);
    EXPECT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(chosen.out, "PMT CRC32:0x" + Hex8(two) + " size:0MB\n  bytes " + std::to_string((2 + 5) * 3 * 188) + ", runs 1\n");
    EXPECT_EQ(RunCommand("velkarin", {"--program=0x2", "rec.ts", "-a"}, dir.path).status, 0);
    EXPECT_EQ(fs::file_size(dir / ("rec_" + Hex8(two) + ".ts")), (2u + 5u) * 3u * 188u);
    Result absent = RunCommand("velkarin", {"rec.ts", "--program", "7"}, dir.path);
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.err, "velkarin: no PMT of program 7 in rec.ts.\n");
}

// --keep-si puts the service tables into every piece, counted by the listing; broadcast.ts
// carries an SDT on 0x11, whose service name ffprobe then shows for each piece.
TEST(CommandLine, KeepServiceInformation) {
    const Bytes rec = Recording();
    ScratchDir kept, plain;
    for (const fs::path& d : {kept.path, plain.path}) testfiles::Write(d / "rec.ts", rec);
    Result listing = RunCommand("velkarin", {"rec.ts", "--keep-si", "-v"}, kept.path);
    EXPECT_EQ(RunCommand("velkarin", {"rec.ts", "-a", "--keep-si"}, kept.path).status, 0);
    EXPECT_EQ(RunCommand("velkarin", {"rec.ts", "-a"}, plain.path).status, 0);
    for (bool b : {false, true}) {
        const std::string name = "rec_" + Hex8(CRCOf(b)) + ".ts";
        const Bytes with = testfiles::Read(kept / name), without = testfiles::Read(plain / name);
        size_t si = 0;
        for (size_t at = 0; at + 188 <= with.size(); at += 188) {
            const uint16_t pid = static_cast<uint16_t>(((with[at + 1] & 0x1F) << 8) | with[at + 2]);
            si += pid == 0x11 || pid == 0x14;
        }
        // Four repetitions in B's run, eight in A's two runs, two SI packets each.
        EXPECT_EQ(si, b ? 8u : 16u) << name;
        EXPECT_EQ(with.size(), without.size() + si * 188) << name;
        EXPECT_NE(listing.out.find("  bytes " + std::to_string(with.size()) + ","), std::string::npos) << listing.out;
    }
    EXPECT_EQ(RunCommand("velkarin-programs", {"rec.ts", "-a", "--keep-si"}, kept.path).status, 0);
    EXPECT_GT(fs::file_size(kept / "rec_1_0_0.ts"), fs::file_size(kept / ("rec_" + Hex8(CRCOf(false)) + ".ts")));

    REQUIRE_SHARED_STREAM(broadcast, "broadcast.ts");
    ScratchDir dir;
    fs::create_symlink(broadcast, dir / "broadcast.ts");
    Result survey = RunCommand("velkarin", {"broadcast.ts", "--keep-si", "-v"}, dir.path);
    ASSERT_EQ(RunCommand("velkarin", {"broadcast.ts", "-a", "--keep-si"}, dir.path).status, 0);
    std::regex line("PMT CRC32:0x([0-9A-F]{8}) size:[0-9]+MB\n  bytes ([0-9]+), runs [0-9]+\n");
    size_t pieces = 0;
    for (std::sregex_iterator it(survey.out.begin(), survey.out.end(), line), end; it != end; ++it, ++pieces) {
        const fs::path piece = dir / ("broadcast_" + (*it)[1].str() + ".ts");
        EXPECT_EQ(fs::file_size(piece), std::stoull((*it)[2])) << piece;
        const Bytes bytes = testfiles::Read(piece);
        bool sdt = false;
        for (size_t at = 0; at + 188 <= bytes.size() && !sdt; at += 188) sdt = bytes[at + 1] == 0x40 && bytes[at + 2] == 0x11;
        EXPECT_TRUE(sdt) << piece;
        if (std::system("ffprobe -version >/dev/null 2>&1") == 0) {
            const std::string cmd = "ffprobe -v quiet -show_entries program_tags=service_name -of default=nw=1:nk=1 " + piece.string();
            FILE* f = ::popen(cmd.c_str(), "r");
            char buf[256] = {};
            const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
            ::pclose(f);
            EXPECT_EQ(std::string(buf, n), "Service01\n") << piece;
        }
    }
    EXPECT_EQ(pieces, 2u);
}

// The listing as JSON carries the figures of the run report; statuses agree across commands.
TEST(CommandLine, JSONListingAndStatuses) {
    ScratchDir dir;
    testfiles::Write(dir / "rec.ts", Recording());
    Result json = RunCommand("velkarin", {"--json", "rec.ts"}, dir.path);
    EXPECT_EQ(json.status, 0);
    Result verbose = RunCommand("velkarin", {"-v", "rec.ts"}, dir.path);
    for (bool b : {false, true}) {
        std::smatch m;
        const std::string crc = Hex8(CRCOf(b));
        ASSERT_TRUE(std::regex_search(verbose.out, m, std::regex("PMT CRC32:0x" + crc + " size:0MB\n  bytes ([0-9]+), runs ([0-9]+)")));
        EXPECT_NE(json.out.find("{\"crc32\": \"0x" + crc + "\", \"bytes\": " + m[1].str() + ", \"runs\": " + m[2].str() +
                                ", \"duration\": "),
                  std::string::npos)
            << json.out;
    }
    EXPECT_EQ(json.out.find("{\"file\": \"rec.ts\", \"pmts\": ["), 0u);
    // No PMT: 1 for the listing too; a full standard output: 1.
    tsb::Mux empty;
    empty.Section(0, tsb::PatSection(1, {{0, 0x10}}));
    testfiles::Write(dir / "empty.ts", empty.File());
    const struct {
        const char* command;
        std::vector<std::string> args;
        int status;
        std::string stdout_path;
    } rows[] = {
        {"velkarin", {"empty.ts"}, 1, ""},
        {"velkarin", {"--json", "empty.ts"}, 1, ""},
        {"velkarin", {"rec.ts"}, 1, "/dev/full"},
        {"velkarin-programs", {"rec.ts"}, 1, "/dev/full"},
        {"velkarin-dump", {"rec.ts"}, 1, "/dev/full"},
        {"velkarin", {"--progress", "rec.ts"}, 0, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.command) + " " + r.args[0] + " " + r.stdout_path);
        if (!r.stdout_path.empty() && !fs::exists(r.stdout_path)) continue;
        Result got = RunCommand(r.command, r.args, dir.path, r.stdout_path);
        EXPECT_EQ(got.status, r.status) << got.err;
        if (r.status == 1) {
            EXPECT_NE(got.err.find(r.stdout_path.empty() ? "No PMT found" : "standard output"), std::string::npos) << got.err;
        }
    }
    // --progress forces the line where standard error is no terminal; -l says its pass.
    Result progress = RunCommand("velkarin", {"--progress", "-l", "rec.ts"}, dir.path);
    EXPECT_EQ(progress.status, 0);
    EXPECT_NE(progress.err.find("pass 1 of 2: "), std::string::npos) << progress.err;
    EXPECT_NE(progress.err.find("pass 2 of 2: "), std::string::npos) << progress.err;
    EXPECT_EQ(RunCommand("velkarin", {"--no-progress", "-l", "rec.ts"}, dir.path).err, "");
}

// The bash completion offers each command's options, and only options its --help names.
TEST(CommandLine, CompletionOffersTheOptionsOfEachCommand) {
    const std::string script = std::string(VELKARIN_SOURCE_DIR) + "/completion/velkarin.bash";
    if (std::system("bash -c true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bash";
    for (const char* command : {"velkarin", "velkarin-programs", "velkarin-dump"}) {
        SCOPED_TRACE(command);
        const std::string cmd = "bash -c 'source " + script + "; COMP_WORDS=(" + command +
                                " -); COMP_CWORD=1; _velkarin; printf \"%s\\n\" \"${COMPREPLY[@]}\"'";
        FILE* f = ::popen(cmd.c_str(), "r");
        std::string offered;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) offered.append(buf, n);
        ::pclose(f);
        const std::string help = RunCommand(command, {"--help"}).out;
        size_t options = 0;
        for (size_t at = 0, end; (end = offered.find('\n', at)) != std::string::npos; at = end + 1, ++options) {
            const std::string option = offered.substr(at, end - at);
            EXPECT_NE(help.find(option), std::string::npos) << option;
        }
        EXPECT_GE(options, 6u) << offered;
    }
}

}  // namespace
