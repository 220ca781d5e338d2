// The timeline picture of velkarin-dump --timeline: a well-formed SVG document whose bands,
// lanes and damage marks stand where the stream put them, and that a browser draws.
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

constexpr uint16_t kPMT = 0x1F0, kVideo = 0x111, kAudio = 0x112, kAudio2 = 0x113, kPCR = 0x1FF;
constexpr uint64_t kSecond = 90000;

Bytes Pmt(char which, uint16_t pcr_pid = kPCR) {
    std::vector<Stream> s{{0x02, kVideo, {}}, {0x04, kAudio, LanguageDescriptor({{"jpn", 0}})}};
    if (which == 'B') s.push_back({0x04, kAudio2, LanguageDescriptor({{"eng", 0}})});
    return PmtSection(1024, pcr_pid, {}, s);
}

std::string Hex(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%08X", v);
    return s;
}

// A, B, A as in a recording whose PMT changes, with `seconds` of PCR time per run (9 PCRs
// each, so the runs hold about the same bytes whatever their time). Damage on request: in B
// a PMT section whose CRC_32 fails and a continuity break on the video, in the second A junk
// between two packets.
struct Recording {
    Mux m;
    Bytes file;
    explicit Recording(const std::vector<double>& seconds, bool damage = false, bool pcr = true) {
        uint64_t t = 5 * kSecond;
        const char pmts[] = {'A', 'B', 'A'};
        size_t junk_at = 0;
        for (size_t r = 0; r < seconds.size(); ++r) {
            m.Section(0, PatSection(1, {{0, 0x10}, {1024, kPMT}}));
            m.Section(kPMT, Pmt(pmts[r % 3], pcr ? kPCR : 0x1FFF));
            const uint64_t step = static_cast<uint64_t>(seconds[r] * kSecond) / 8;
            for (int k = 0; k < 9; ++k) {
                if (pcr) Pcr(t + step * k);
                for (int v = 0; v < 4; ++v) m.Es(kVideo);
                m.Es(kAudio);
                if (pmts[r % 3] == 'B') m.Es(kAudio2);
                if (damage && r == 1 && k == 4) {
                    Bytes bad = Pmt('B');
                    bad.back() ^= 0x01;
                    m.Section(kPMT, bad);
                    m.cc[kVideo] = static_cast<uint8_t>((m.cc[kVideo] + 5) & 15);
                }
                if (damage && r == 2 && k == 4) junk_at = m.packets.size();
            }
            t += step * 9;
        }
        file = m.File();
        if (damage) file.insert(file.begin() + static_cast<long>(junk_at * 188), 77, 0x00);
    }
    void Pcr(uint64_t base) {
        Header h{.pid = kPCR, .cc = m.cc[kPCR], .afc = 2};
        Adaptation a;
        a.pcr = std::make_pair(base, uint16_t{0});
        a.stuffing = 176;
        m.packets.push_back(MakePacket(h, {}, EncodeAdaptation(a)));
    }
};

// What the picture shows, read back from the SVG.
struct Band {
    std::string crc, pmt, fill;
    bool margin;
    double x0, x1;
};
struct Lane {
    std::string pid, label, languages;
    std::vector<std::pair<double, double>> present;
};
struct Picture {
    std::string svg;
    std::vector<Band> runs;
    std::vector<Lane> lanes;
    std::map<std::string, std::pair<uint64_t, std::vector<double>>> damage;  // kind: count, marks' x
    double width = 0;

    explicit Picture(const std::string& text) : svg(text) {
        std::smatch m;
        if (std::regex_search(svg, m, std::regex("<svg [^>]*width=\"([0-9]+)\""))) width = std::stod(m[1]);
        std::regex run("<g class=\"run\" data-run=\"[0-9]+\" data-crc=\"(0x[0-9A-F]{8})\" data-pmt=\"([A-Z]+)\"( data-margin=\"true\")?>"
                       "<title>[^<]*</title><rect x=\"([0-9.]+)\" y=\"[0-9]+\" width=\"([0-9.]+)\" height=\"[0-9]+\" fill=\"(#[0-9a-f]{6})\"");
        for (std::sregex_iterator it(svg.begin(), svg.end(), run), end; it != end; ++it) {
            const auto& r = *it;
            runs.push_back({r[1], r[2], r[6], r[3].matched, std::stod(r[4]), std::stod(r[4]) + std::stod(r[5])});
        }
        std::regex lane("<g class=\"lane\" data-pid=\"(0x[0-9A-F]{4})\">(.*)</g>");
        std::regex label("<tspan font-weight=\"bold\">0x[0-9A-F]{4}</tspan> ([^<]*)</text>(<text[^>]*>([^<]*)</text>)?");
        std::regex present("<rect class=\"present\" x=\"([0-9.]+)\" y=\"[0-9]+\" width=\"([0-9.]+)\"");
        for (std::sregex_iterator it(svg.begin(), svg.end(), lane), end; it != end; ++it) {
            Lane l;
            l.pid = (*it)[1];
            const std::string body = (*it)[2];
            std::smatch lm;
            if (std::regex_search(body, lm, label)) l.label = lm[1], l.languages = lm[3];
            for (std::sregex_iterator p(body.begin(), body.end(), present); p != end; ++p)
                l.present.emplace_back(std::stod((*p)[1]), std::stod((*p)[1]) + std::stod((*p)[2]));
            lanes.push_back(l);
        }
        std::regex marks("<g class=\"marks ([a-z]+)\" data-count=\"([0-9]+)\"[^>]*>(.*)</g>");
        std::regex mark("<rect class=\"mark\" x=\"([0-9.-]+)\"");
        for (std::sregex_iterator it(svg.begin(), svg.end(), marks), end; it != end; ++it) {
            auto& d = damage[(*it)[1]];
            d.first = std::stoull((*it)[2]);
            const std::string body = (*it)[3];
            for (std::sregex_iterator p(body.begin(), body.end(), mark); p != end; ++p) d.second.push_back(std::stod((*p)[1]) + 1);
        }
    }
    const Lane* LaneOf(const std::string& pid) const {
        for (const Lane& l : lanes)
            if (l.pid == pid) return &l;
        return nullptr;
    }
};

// Well-formed XML, by a tiny check of its own: every tag closed in order, attribute values
// quoted, no bare '&' or '<'; and by python3's parser when the machine has it.
std::string XMLProblem(const std::string& s) {
    std::vector<std::string> open;
    size_t i = 0;
    if (s.rfind("<?xml ", 0) == 0) i = s.find("?>") + 2;
    for (; i < s.size(); ++i) {
        if (s[i] == '&') {
            static const std::regex entity("&(amp|lt|gt|quot|apos|#[0-9]+|#x[0-9A-Fa-f]+);");
            std::smatch m;
            std::string rest = s.substr(i, 12);
            if (!std::regex_search(rest, m, entity) || m.position(0) != 0) return "bare & at " + std::to_string(i);
            continue;
        }
        if (s[i] == '>') return "bare > outside a tag at " + std::to_string(i);
        if (s[i] != '<') continue;
        const size_t close = s.find('>', i);
        if (close == std::string::npos) return "unclosed tag";
        std::string tag = s.substr(i + 1, close - i - 1);
        if (tag.find('<') != std::string::npos) return "< inside a tag at " + std::to_string(i);
        i = close;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1)) return "</" + tag.substr(1) + "> closes " + (open.empty() ? "nothing" : open.back());
            open.pop_back();
            continue;
        }
        const bool empty = tag.back() == '/';
        const std::string name = tag.substr(0, tag.find_first_of(" /"));
        static const std::regex attributes("^[A-Za-z_:][-A-Za-z0-9_:.]*(\\s+[A-Za-z_:][-A-Za-z0-9_:.]*=\"[^\"<]*\")*\\s*/?$");
        if (!std::regex_match(tag, attributes)) return "malformed tag <" + tag.substr(0, 60) + ">";
        if (!empty) open.push_back(name);
    }
    if (!open.empty()) return "<" + open.back() + "> never closed";
    return "";
}

bool HasPython() { return std::system("command -v python3 >/dev/null 2>&1") == 0; }

bool PythonParses(const fs::path& svg) {
    const std::string cmd = "python3 -c 'import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])' '" + svg.string() + "' 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

struct Drawn {
    ScratchDir dir;
    Result r;
    Picture picture{""};
    Drawn(const Bytes& file, std::vector<std::string> args = {}, const std::string& name = "rec.ts") {
        testfiles::Write(dir / name, file);
        args.insert(args.begin(), "--timeline");
        args.push_back(name);
        r = RunCommand("velkarin-dump", args, dir.path);
        testfiles::Write(dir / "rec.svg", r.out);
        picture = Picture(r.out);
    }
};

TEST(TimelineCheck, TheXMLCheckFindsFaults) {
    EXPECT_EQ(XMLProblem("<svg a=\"1\"><g><rect/></g><text>a &amp; b</text></svg>"), "");
    for (const char* bad : {"<svg><g></svg>", "<svg a=1></svg>", "<svg>a & b</svg>", "<svg><text>1 < 2</text></svg>",
                            "<svg>", "<svg></g></svg>"})
        EXPECT_NE(XMLProblem(bad), "") << bad;
}

// Three bands A, B, A, the As in one colour and B in another, placed by PCR time: B's six
// seconds take about half the axis though its bytes are a third.
TEST(Timeline, BandsFollowTheRunsInPCRTime) {
    Recording rec({2, 6, 2});
    Drawn d(rec.file);
    ASSERT_EQ(d.r.status, 0) << d.r.err;
    EXPECT_EQ(XMLProblem(d.r.out), "");
    if (HasPython()) {
        EXPECT_TRUE(PythonParses(d.dir / "rec.svg"));
    }
    const auto& runs = d.picture.runs;
    ASSERT_EQ(runs.size(), 3u) << d.r.out;
    EXPECT_EQ(runs[0].crc, Hex(TrailingU32(Pmt('A'))));
    EXPECT_EQ(runs[1].crc, Hex(TrailingU32(Pmt('B'))));
    EXPECT_EQ(runs[0].pmt + runs[1].pmt + runs[2].pmt, "ABA");
    EXPECT_EQ(runs[0].fill, runs[2].fill);
    EXPECT_NE(runs[0].fill, runs[1].fill);
    for (const Band& b : runs) EXPECT_FALSE(b.margin);
    // A band lasts until the next run begins.
    EXPECT_NEAR(runs[0].x1, runs[1].x0, 0.02);
    EXPECT_NEAR(runs[1].x1, runs[2].x0, 0.02);
    const double axis = runs[2].x1 - runs[0].x0;
    ASSERT_GT(axis, 500);
    EXPECT_NEAR((runs[1].x1 - runs[1].x0) / axis, 6.0 / 10.0, 0.08);
    EXPECT_NEAR((runs[0].x1 - runs[0].x0) / axis, 2.0 / 10.0, 0.06);
    EXPECT_NE(d.r.out.find(">PCR time<"), std::string::npos);
    EXPECT_EQ(d.r.out.find("url(#hatch)\""), std::string::npos);  // no margins unless asked
    EXPECT_EQ(d.picture.damage["continuity"].first, 0u);
    EXPECT_TRUE(d.picture.damage["crc"].second.empty());
}

// One lane per stream with its PID, codec and languages; the stream that only B names has
// packets only under B's band, the others all along.
TEST(Timeline, LanesShowEachStreamWhereItsPacketsAre) {
    Recording rec({3, 3, 3});
    Drawn d(rec.file);
    const auto& runs = d.picture.runs;
    ASSERT_EQ(runs.size(), 3u);
    ASSERT_EQ(d.picture.lanes.size(), 3u) << d.r.out;
    const Lane* video = d.picture.LaneOf("0x0111");
    const Lane* jpn = d.picture.LaneOf("0x0112");
    const Lane* eng = d.picture.LaneOf("0x0113");
    ASSERT_TRUE(video && jpn && eng);
    EXPECT_EQ(jpn->languages, "jpn");
    EXPECT_EQ(eng->languages, "eng");
    EXPECT_EQ(video->languages, "");
    EXPECT_FALSE(video->label.empty());
    EXPECT_NE(video->label, jpn->label);  // video and audio codecs differ
    EXPECT_EQ(jpn->label, eng->label);
    ASSERT_FALSE(eng->present.empty());
    for (const auto& [x0, x1] : eng->present) {
        EXPECT_GE(x0, runs[1].x0 - 10);
        EXPECT_LE(x1, runs[1].x1 + 10);
    }
    // and all along it.
    EXPECT_LT(eng->present.front().first, runs[1].x0 + 0.2 * (runs[1].x1 - runs[1].x0));
    EXPECT_GT(eng->present.back().second, runs[1].x1 - 0.2 * (runs[1].x1 - runs[1].x0));
    ASSERT_EQ(video->present.size(), 1u);
    // Within a bin's width (a few pixels: this stream is a small one).
    EXPECT_NEAR(video->present[0].first, runs[0].x0, 10);
    EXPECT_NEAR(video->present[0].second, runs[2].x1, 10);
}

// Damage marks stand where the stream was damaged, with the counts velkarin reports.
TEST(Timeline, DamageIsMarkedWhereItWasFound) {
    Recording rec({3, 3, 3}, true);
    Drawn d(rec.file);
    ASSERT_EQ(d.r.status, 0);
    EXPECT_EQ(XMLProblem(d.r.out), "");
    const auto& runs = d.picture.runs;
    ASSERT_EQ(runs.size(), 3u);
    auto within = [](double x, const Band& b) { return x >= b.x0 - 1 && x <= b.x1 + 1; };
    auto& crc = d.picture.damage["crc"];
    auto& cc = d.picture.damage["continuity"];
    auto& resync = d.picture.damage["resync"];
    EXPECT_EQ(crc.first, 1u);
    EXPECT_EQ(cc.first, 1u);
    EXPECT_EQ(resync.first, 1u);
    ASSERT_EQ(crc.second.size(), 1u);
    ASSERT_EQ(cc.second.size(), 1u);
    ASSERT_EQ(resync.second.size(), 1u);
    EXPECT_TRUE(within(crc.second[0], runs[1])) << crc.second[0];
    EXPECT_TRUE(within(cc.second[0], runs[1])) << cc.second[0];
    EXPECT_TRUE(within(resync.second[0], runs[2])) << resync.second[0];
    // In the middle of their runs, not at an edge.
    EXPECT_GT(cc.second[0], runs[1].x0 + 0.3 * (runs[1].x1 - runs[1].x0));
    EXPECT_GT(resync.second[0], runs[2].x0 + 0.3 * (runs[2].x1 - runs[2].x0));
    EXPECT_NE(d.r.err.find("damaged input: 1 section failed its CRC_32"), std::string::npos) << d.r.err;
}

// With --min-run the margins are hatched and marked; without a PCR the axis is the byte
// offset.
TEST(Timeline, MarginsAndTheByteAxis) {
    Recording rec({2, 6, 2});
    Drawn d(rec.file, {"--min-run", "3"});
    ASSERT_EQ(d.picture.runs.size(), 3u);
    EXPECT_TRUE(d.picture.runs[0].margin);
    EXPECT_FALSE(d.picture.runs[1].margin);
    EXPECT_TRUE(d.picture.runs[2].margin);
    EXPECT_NE(d.r.out.find("url(#hatch)\""), std::string::npos);
    Drawn kept(rec.file, {"--min-run", "1"});
    for (const Band& b : kept.picture.runs) EXPECT_FALSE(b.margin);

    Recording flat({2, 6, 2}, false, false);
    Drawn bytes(flat.file);
    ASSERT_EQ(bytes.picture.runs.size(), 3u);
    EXPECT_NE(bytes.r.out.find(">byte offset (no PCR)<"), std::string::npos);
    const auto& runs = bytes.picture.runs;
    // By bytes B holds about as much as each A.
    EXPECT_NEAR((runs[1].x1 - runs[1].x0) / (runs[2].x1 - runs[0].x0), 0.38, 0.06);
}

// A name that XML could not hold as it is, and the usage errors.
TEST(Timeline, NamesAreEscapedAndUsageErrors) {
    Recording rec({1, 1, 1});
    Drawn d(rec.file, {}, "a&b<\"c\xff.ts");
    ASSERT_EQ(d.r.status, 0) << d.r.err;
    EXPECT_EQ(XMLProblem(d.r.out), "");
    if (HasPython()) {
        EXPECT_TRUE(PythonParses(d.dir / "rec.svg"));
    }
    EXPECT_NE(d.r.out.find("a&amp;b&lt;&quot;c?.ts"), std::string::npos);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--timeline", "--runs", "rec.ts"}, {"--timeline", "--pat", "rec.ts"}, {"--timeline", "--json", "rec.ts"},
             {"--timeline", "--min-run", "x", "rec.ts"}, {"--timeline"}}) {
        Result r = RunCommand("velkarin-dump", args, d.dir.path);
        EXPECT_EQ(r.status, 2) << args[1];
        EXPECT_EQ(r.out, "");
    }
    Result missing = RunCommand("velkarin-dump", {"--timeline", "nothing.ts"}, d.dir.path);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
}

// A browser draws it: headless Chromium renders the SVG into a PNG that is not blank and
// shows the bands' colours.
TEST(Timeline, ChromiumDrawsIt) {
    const char* browser = nullptr;
    for (const char* name : {"chromium", "chromium-browser", "google-chrome"})
        if (std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0) {
            browser = name;
            break;
        }
    if (browser == nullptr) GTEST_SKIP() << "no chromium installed: the picture was not rendered";
    if (!HasPython()) GTEST_SKIP() << "no python3 to read the PNG";
    Recording rec({2, 6, 2}, true);
    Drawn d(rec.file, {"--min-run", "3"});
    ASSERT_EQ(d.r.status, 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(d.r.out, m, std::regex("height=\"([0-9]+)\"")));
    const std::string png = (d.dir / "rec.png").string(), blank_png = (d.dir / "blank.png").string();
    const std::string script = std::string(VELKARIN_SOURCE_DIR) + "/tests/timeline_png.py";
    auto render = [&](const fs::path& svg, const std::string& out, const std::string& size) {
        const std::string cmd = "timeout 120 " + std::string(browser) + " --headless --no-sandbox --disable-gpu --hide-scrollbars" +
                                " --user-data-dir=" + (d.dir / "profile").string() + " --window-size=" + size +
                                " --screenshot=" + out + " file://" + svg.string() + " >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0 && fs::exists(out);
    };
    auto count = [&](const std::string& file) {
        FILE* f = ::popen(("python3 " + script + " " + file + " 4e79a7 f28e2b d62728").c_str(), "r");
        char buf[256] = {};
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        ::pclose(f);
        return std::string(buf, n);
    };
    ASSERT_TRUE(render(d.dir / "rec.svg", png, "1280," + m[1].str()));
    std::smatch c;
    const std::string counted = count(png);
    ASSERT_TRUE(std::regex_search(counted, c, std::regex("1280x([0-9]+) nonwhite ([0-9]+) 4e79a7:([0-9]+) f28e2b:([0-9]+) d62728:([0-9]+)")))
        << counted;
    const double pixels = 1280.0 * std::stod(c[1]);
    EXPECT_GT(std::stod(c[2]) / pixels, 0.05) << counted;  // drawn, not blank
    EXPECT_GT(std::stoi(c[4]), 2000) << counted;           // B's band, orange
    EXPECT_GT(std::stoi(c[5]), 10) << counted;             // the CRC_32 failure's mark
    // The same check on a blank page finds it blank.
    testfiles::Write(d.dir / "blank.svg", std::string("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"300\" height=\"100\">"
                                                      "<rect width=\"300\" height=\"100\" fill=\"#fff\"/></svg>"));
    ASSERT_TRUE(render(d.dir / "blank.svg", blank_png, "300,100"));
    EXPECT_NE(count(blank_png).find("nonwhite 0 "), std::string::npos);
}

// On the shared streams: the runs the picture draws are those of --runs, its damage counts
// those velkarin reports.
TEST(TimelineShared, AgreesWithTheRunReport) {
    for (const char* name : {"pmt-aba.ts", "broadcast.ts", "broadcast-damaged.ts", "sample.m2ts"}) {
        SCOPED_TRACE(name);
        const fs::path source = testfiles::SharedStream(name);
        if (source.empty()) GTEST_SKIP() << "../shared/streams/" << name << " is absent; skipped";
        ScratchDir dir;
        fs::create_symlink(source, dir / name);
        Result svg = RunCommand("velkarin-dump", {"--timeline", name}, dir.path);
        ASSERT_EQ(svg.status, 0);
        EXPECT_EQ(XMLProblem(svg.out), "");
        Picture p(svg.out);
        Result json = RunCommand("velkarin-dump", {"--runs", "--json", name}, dir.path);
        std::regex crc("\"crc32\": \"(0x[0-9A-F]{8})\"");
        std::vector<std::string> crcs;
        for (std::sregex_iterator it(json.out.begin(), json.out.end(), crc), end; it != end; ++it) crcs.push_back((*it)[1]);
        ASSERT_EQ(p.runs.size(), crcs.size());
        for (size_t i = 0; i < crcs.size(); ++i) EXPECT_EQ(p.runs[i].crc, crcs[i]);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(json.out, m, std::regex("\"continuity_breaks\": ([0-9]+)")));
        EXPECT_EQ(p.damage["continuity"].first, std::stoull(m[1]));
        ASSERT_TRUE(std::regex_search(json.out, m, std::regex("\"crc_failures\": ([0-9]+)")));
        EXPECT_EQ(p.damage["crc"].first, std::stoull(m[1]));
        EXPECT_GE(p.lanes.size(), 2u);
        EXPECT_EQ(svg.err, json.err);
    }
}

}  // namespace
