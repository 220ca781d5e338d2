// The commands on the shared recordings: M2TS input gives, less its 4-byte headers, exactly
// what the 188-byte twin gives, and the run report agrees with velkarin's listing.
#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <regex>
#include <set>

#include "files.h"

using testfiles::RunCommand;
using testfiles::ScratchDir;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// The 188-byte packets of a 192-byte stream, and a check that each packet written carries the
// header of an input packet that holds the same 188 bytes.
Bytes StripHeaders(const Bytes& m2ts) {
    Bytes out;
    for (size_t at = 0; at + 192 <= m2ts.size(); at += 192) out.insert(out.end(), m2ts.begin() + at + 4, m2ts.begin() + at + 192);
    return out;
}

std::set<std::string> Units(const Bytes& m2ts) {
    std::set<std::string> units;
    for (size_t at = 0; at + 192 <= m2ts.size(); at += 192) units.emplace(m2ts.begin() + at, m2ts.begin() + at + 192);
    return units;
}

// Every file a command writes in `dir`, by name, the input itself aside.
std::map<std::string, Bytes> Outputs(const fs::path& dir, const std::string& input) {
    std::map<std::string, Bytes> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != input) out[e.path().filename().string()] = testfiles::Read(e.path());
    return out;
}

struct Twin {
    std::string name;      // the M2TS stream
    std::string twin;      // its 188-byte twin ("" when made by stripping the headers)
    std::string pmt_pid;   // PMT PID of its program
    std::string crc;       // CRC-32 of one of its PMTs
};

// Runs `args` (with IN standing for the input) on the M2TS stream and on its 188-byte twin,
// each in a directory of its own, and compares every file written.
void CompareOutputs(const Twin& t, const std::string& command, const std::vector<std::string>& args) {
    SCOPED_TRACE(t.name + " " + command);
    ScratchDir m_dir, t_dir;
    const Bytes m2ts = testfiles::Read(testfiles::SharedStream(t.name));
    testfiles::Write(m_dir / "in.ts", m2ts);
    if (t.twin.empty()) testfiles::Write(t_dir / "in.ts", StripHeaders(m2ts));
    else fs::copy_file(testfiles::SharedStream(t.twin), t_dir / "in.ts");
    auto run = [&](const ScratchDir& dir) {
        std::vector<std::string> a;
        for (const auto& x : args) a.push_back(x == "IN" ? "in.ts" : x);
        return RunCommand(command, a, dir.path);
    };
    auto rm = run(m_dir), rt = run(t_dir);
    ASSERT_EQ(rm.status, 0) << rm.err;
    ASSERT_EQ(rt.status, 0) << rt.err;
    EXPECT_EQ(rm.out, rt.out);
    auto om = Outputs(m_dir.path, "in.ts"), ot = Outputs(t_dir.path, "in.ts");
    ASSERT_EQ(om.size(), ot.size());
    if (command == "velkarin-dump") EXPECT_FALSE(rm.out.empty());  // its text is its output
    else ASSERT_FALSE(om.empty());
    const auto units = Units(m2ts);
    for (const auto& [name, bytes] : om) {
        ASSERT_TRUE(ot.count(name)) << name;
        ASSERT_EQ(bytes.size() % 192, 0u) << name;
        EXPECT_EQ(StripHeaders(bytes), ot[name]) << name;
        // Copied packets carry their own input header; a regenerated PAT carries the header of
        // the input PAT packet that produced it.
        for (size_t at = 0; at < bytes.size(); at += 192) {
            uint16_t pid = static_cast<uint16_t>(((bytes[at + 5] & 0x1F) << 8) | bytes[at + 6]);
            if (command == "velkarin-programs" && pid == 0) continue;
            ASSERT_TRUE(units.count(std::string(bytes.begin() + at, bytes.begin() + at + 192))) << name << " @" << at;
        }
    }
}

TEST(M2TSRecordings, EveryCommandWritesTheTwinsBytesWithTheInputHeaders) {
    if (testfiles::SharedStream("sample.m2ts").empty() || testfiles::SharedStream("broadcast.ts").empty())
        GTEST_SKIP() << "../shared/streams is absent; skipped";
    for (const Twin& t : {Twin{"sample.m2ts", "", "0x100", "CA1669BF"}, Twin{"broadcast.m2ts", "broadcast.ts", "0x1F0", "BD61B5D3"}}) {
        CompareOutputs(t, "velkarin", {"IN", "-a"});
        CompareOutputs(t, "velkarin", {"IN", "-l"});
        CompareOutputs(t, "velkarin", {"IN", t.crc, "piece.ts"});
        CompareOutputs(t, "velkarin-programs", {"IN", "-a"});
        CompareOutputs(t, "velkarin-programs", {"IN", t.pmt_pid, "program.ts"});
        CompareOutputs(t, "velkarin-dump", {"--pat", "--pmt", "--cat", "--pcr", "--pids", "IN"});
    }
}

// Parses the JSON with python3 when the machine has it.
bool ValidJSON(const std::string& text) {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) return true;
    ScratchDir dir;
    testfiles::Write(dir / "doc.json", text);
    std::string cmd = "python3 -c 'import json,sys; json.load(open(sys.argv[1], \"rb\"))' " + (dir / "doc.json").string();
    return std::system(cmd.c_str()) == 0;
}

TEST(RunsReport, JSONAgreesWithTheListingOnEveryStream) {
    if (testfiles::SharedStream("sample.ts").empty()) GTEST_SKIP() << "../shared/streams is absent; skipped";
    for (const char* name : {"sample.ts", "sample.m2ts", "single-pmt.ts", "pmt-aba.ts", "pmt-two-packets.ts",
                             "broadcast.ts", "broadcast.m2ts", "broadcast-damaged.ts"}) {
        SCOPED_TRACE(name);
        const std::string path = testfiles::SharedStream(name).string();
        auto json = RunCommand("velkarin-dump", {"--runs", "--json", path});
        ASSERT_EQ(json.status, 0) << json.err;
        EXPECT_TRUE(ValidJSON(json.out)) << json.out;
        EXPECT_NE(json.out.find(std::string("\"packet_size\": ") + (std::string(name).ends_with(".m2ts") ? "192" : "188")),
                  std::string::npos);
        // Each distinct CRC-32's total, in whole MiB, is the listing's figure.
        std::map<std::string, uint64_t> totals;
        std::vector<std::string> order;
        std::regex run("\"crc32\": \"0x([0-9A-F]{8})\"[^{]*\"bytes\": ([0-9]+)");
        for (std::sregex_iterator it(json.out.begin(), json.out.end(), run), end; it != end; ++it) {
            if (!totals.count((*it)[1])) order.push_back((*it)[1]);
            totals[(*it)[1]] += std::stoull((*it)[2]);
        }
        std::string expect;
        for (const auto& crc : order) expect += "PMT CRC32:0x" + crc + " size:" + std::to_string(totals[crc] >> 20) + "MB\n";
        auto listing = RunCommand("velkarin", {path});
        EXPECT_EQ(listing.out, expect);
        EXPECT_FALSE(order.empty());
    }
}

TEST(RunsReport, BroadcastLanguagesAndDurations) {
    REQUIRE_SHARED_STREAM(path, "broadcast.ts");
    auto text = RunCommand("velkarin-dump", {"--runs", path.string()});
    ASSERT_EQ(text.status, 0);
    // Three runs A, B, A; the audio in jpn, and B's added audio in eng.
    std::regex run_line("Run ([0-9]+): PMT CRC32 0x([0-9A-F]{8})");
    std::vector<std::string> crcs;
    for (std::sregex_iterator it(text.out.begin(), text.out.end(), run_line), end; it != end; ++it) crcs.push_back((*it)[2]);
    ASSERT_EQ(crcs.size(), 3u);
    EXPECT_EQ(crcs[0], crcs[2]);
    EXPECT_NE(crcs[0], crcs[1]);
    EXPECT_NE(text.out.find("stream PID 0x0112 type 0x0F (ISO/IEC 13818-7 Audio) codec aac languages jpn\n"), std::string::npos);
    EXPECT_NE(text.out.find("stream PID 0x0113 type 0x0F (ISO/IEC 13818-7 Audio) codec aac languages eng\n"), std::string::npos);

    // The durations add up to the recording's PCR span within a second. The span is read here
    // from the packets on the PCR PID (0x1FF) that carry a PCR.
    const Bytes in = testfiles::Read(path);
    double first = -1, last = 0;
    for (size_t at = 0; at + 188 <= in.size(); at += 188) {
        const uint8_t* p = &in[at];
        if (p[0] != 0x47 || (((p[1] & 0x1F) << 8) | p[2]) != 0x1FF || !(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10)) continue;
        uint64_t base = (uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) | (uint64_t{p[8]} << 9) | (uint64_t{p[9]} << 1) | (p[10] >> 7);
        double t = static_cast<double>(base) / 90000.0;
        if (first < 0) first = t;
        last = t;
    }
    ASSERT_GE(first, 0);
    std::regex duration("duration ([0-9.]+) s");
    double sum = 0;
    int n = 0;
    for (std::sregex_iterator it(text.out.begin(), text.out.end(), duration), end; it != end; ++it, ++n) sum += std::stod((*it)[1]);
    EXPECT_EQ(n, 3);
    EXPECT_NEAR(sum, last - first, 1.0);
    EXPECT_GT(sum, 0.5 * (last - first));
}

TEST(RunsReport, UsageAndFailures) {
    auto json_alone = RunCommand("velkarin-dump", {"--json", "x.ts"});
    EXPECT_EQ(json_alone.status, 2);
    auto mixed = RunCommand("velkarin-dump", {"--runs", "--pat", "x.ts"});
    EXPECT_EQ(mixed.status, 2);
    auto missing = RunCommand("velkarin-dump", {"--runs", "/nonexistent/x.ts"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Error: Failed open /nonexistent/x.ts.\nvelkarin-dump: /nonexistent/x.ts: No such file or directory\n");
    EXPECT_EQ(missing.out, "");
    // A file name that is not UTF-8 still makes valid JSON.
    ScratchDir dir;
    const std::string odd = (dir / "rec\xff\"q\".ts").string();
    testfiles::Write(odd, Bytes(188 * 3, 0));
    auto r = RunCommand("velkarin-dump", {"--runs", "--json", odd});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ValidJSON(r.out)) << r.out;
    EXPECT_NE(r.out.find("\"runs\": []"), std::string::npos) << r.out;
}

}  // namespace

namespace {

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

// Captures of real broadcasts (README of ../shared/streams/real): tables larger than sixteen
// entries, 204-byte packets, languages only in DVB descriptors, and damage that is reported.
TEST(RealCaptures, TablesUnitsLanguagesAndDamage) {
    if (testfiles::SharedStream("real/tsduck-test-018-dvb-20programs.ts").empty())
        GTEST_SKIP() << "../shared/streams/real is absent; skipped";
    auto path = [](const char* name) { return testfiles::SharedStream(std::string("real/") + name).string(); };
    // Every entry of a PAT of 20 programs, every stream of a PMT of 31.
    auto pat = RunCommand("velkarin-dump", {"--pat", path("tsduck-test-018-dvb-20programs.ts")});
    EXPECT_EQ(pat.status, 0);
    EXPECT_NE(pat.out.find("PN:899 R3:7 PMTPID:0x010C"), std::string::npos) << pat.out;
    EXPECT_EQ(Count(pat.out, "PMTPID:") % 20, 0u);
    EXPECT_GT(Count(pat.out, "PMTPID:"), 0u);
    auto pmt = RunCommand("velkarin-dump", {"--pmt", path("mpmi-bd-dts1.m2ts")});
    const size_t blocks = Count(pmt.out, "[PMT]");
    ASSERT_GT(blocks, 0u);
    EXPECT_EQ(Count(pmt.out, "  ST:"), 31 * blocks);
    EXPECT_NE(pmt.out.find("EPID:0x1214"), std::string::npos);
    // The 204-byte capture carries 13 PIDs, and nothing is damaged in it.
    auto pids = RunCommand("velkarin-dump", {"--pids", path("tsduck-test-171-isdbtb-204.ts")});
    EXPECT_EQ(pids.status, 0);
    EXPECT_EQ(Count(pids.out, "  0x"), 13u) << pids.out;
    EXPECT_EQ(pids.err, "");

    // Languages from the subtitling descriptor (both subtitle PIDs are French), the ISO 639
    // descriptor before the supplementary audio descriptor, and of all 31 streams.
    auto runs = RunCommand("velkarin-dump", {"--runs", path("tsduck-test-026-dvb-avc-subs.ts")});
    EXPECT_NE(runs.out.find("stream PID 0x008C type 0x06 (ISO/IEC 13818-1 PES packets) codec dvb_subtitle languages fra\n"), std::string::npos) << runs.out;
    EXPECT_NE(runs.out.find("stream PID 0x008E type 0x06 (ISO/IEC 13818-1 PES packets) codec dvb_subtitle languages fra\n"), std::string::npos);
    EXPECT_NE(runs.out.find("stream PID 0x0083 type 0x06 (ISO/IEC 13818-1 PES packets) codec eac3 languages qad fra\n"), std::string::npos);
    auto bd = RunCommand("velkarin-dump", {"--runs", "--json", path("mpmi-bd-dts1.m2ts")});
    EXPECT_EQ(Count(bd.out, "\"pid\":"), 31u);
    EXPECT_EQ(Count(bd.out, "\"languages\": [\""), 30u);  // every stream but the video
    EXPECT_NE(bd.out.find("{\"pid\": 4628, \"stream_type\": 144, \"type_name\": \"<User define>\", \"codec\": \"hdmv_pgs_subtitle\", \"dual_mono\": false, \"languages\": [\"slk\"]}"),
              std::string::npos);

    // Every PMT of this capture fails its CRC_32: velkarin says so, and every command reports
    // the damage once, on standard error; the JSON report carries it too.
    const std::string damaged = path("tsduck-test-143-corrupt-teletext.ts");
    auto list = RunCommand("velkarin", {damaged});
    EXPECT_EQ(list.out, "");
    EXPECT_NE(list.err.find("No PMT found in " + damaged + ": 9 sections failed their CRC_32.\n"), std::string::npos) << list.err;
    const std::string line = ": " + damaged + ": damaged input: 9 sections failed their CRC_32 (PID 0x0000: 1, PID 0x003C: 8), "
                             "126 continuity breaks, 19 packets with transport_error_indicator.\n";
    EXPECT_NE(list.err.find("velkarin" + line), std::string::npos) << list.err;
    // The program list follows the PAT alone: its line counts what it met there.
    for (const char* command : {"velkarin-programs", "velkarin-dump"}) {
        auto r = RunCommand(command, {damaged});
        EXPECT_EQ(Count(r.err, std::string(command) + ": " + damaged + ": damaged input: "), 1u) << r.err;
        EXPECT_EQ(Count(r.err, "126 continuity breaks, 19 packets with transport_error_indicator.\n"), 1u) << r.err;
    }
    auto json = RunCommand("velkarin-dump", {"--runs", "--json", damaged});
    EXPECT_NE(json.out.find("\"damage\": {\"crc_failures\": 9, \"crc_failures_by_pid\": {\"0x0000\": 1, \"0x003C\": 8}, "
                            "\"damaged_sections\": 0, \"continuity_breaks\": 126, \"transport_errors\": 19, \"bytes_skipped\": 0, "
                            "\"packets_dropped\": 0, \"incomplete_last_packet\": 0}"),
              std::string::npos)
        << json.out;
    // A clean capture: no line at all.
    for (const char* command : {"velkarin", "velkarin-programs", "velkarin-dump"})
        EXPECT_EQ(RunCommand(command, {path("ltn-demo.ts")}).err, "") << command;
}

// An M2TS stream through a FIFO whose first read returns only a few hundred bytes is cut in
// 192-byte units, exactly as from the file: the packet size waits for enough bytes.
TEST(PipedInput, PacketSizeIsDecidedOnEnoughBytes) {
    REQUIRE_SHARED_STREAM(source, "sample.m2ts");
    const Bytes m2ts = testfiles::Read(source);
    ScratchDir file_dir, fifo_dir, capture;
    testfiles::Write(file_dir / "rec.ts", m2ts);
    ASSERT_EQ(RunCommand("velkarin", {(file_dir / "rec.ts").string(), "-a"}).status, 0);
    const fs::path fifo = fifo_dir / "rec.ts";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = testfiles::StartCommand("velkarin", {fifo.string(), "-a", "-o", fifo_dir.path.string()}, {},
                                              capture / "out", capture / "err");
    int fd = -1;
    for (int i = 0; i < 1000 && fd < 0; ++i) {
        fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) ::usleep(10000);
    }
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fcntl(fd, F_SETFL, 0), 0);
    // Four bytes of the extra header and a little more first, the rest a moment later.
    ASSERT_EQ(::write(fd, m2ts.data(), 300), 300);
    ::usleep(100000);
    for (size_t at = 300; at < m2ts.size();) {
        const ssize_t n = ::write(fd, m2ts.data() + at, m2ts.size() - at);
        ASSERT_GT(n, 0);
        at += static_cast<size_t>(n);
    }
    ::close(fd);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0) << testfiles::ReadText(capture / "err");
    auto from_file = Outputs(file_dir.path, "rec.ts"), from_fifo = Outputs(fifo_dir.path, "rec.ts");
    EXPECT_EQ(from_file.size(), 2u);  // PMTs A and B
    EXPECT_TRUE(from_fifo == from_file);
    for (const auto& [name, bytes] : from_fifo) EXPECT_EQ(bytes.size() % 192, 0u) << name;
}
