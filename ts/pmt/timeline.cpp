// Timeline: the run report's walk with a look at every packet, gathered into bins of the
// input (PCR time, streams present, damage), and drawn as one SVG document.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/scan.h"
#include "pmt/pmt_walk.h"
#include "pmt/pmt.h"

using namespace ts_detail;

namespace {

constexpr uint32_t kBins = TS_TIMELINE_BINS;
constexpr uint32_t kFirstShift = 8;  // 256-byte bins at first: a packet or more each
constexpr uint8_t kNoLane = 0xFF, kLaneLeftOut = 0xFE;

// What the gathering keeps besides the record: the lane of each PID, the clock's last PCR,
// the runs and damage counts already looked at.
struct Gather {
    TS_Timeline* t;
    const TS_RunReport* report;
    uint8_t lane_of[8192];
    uint64_t clock_first, clock_last;
    uint64_t pcr_offset;    // where the last PCR was met ...
    uint64_t clock_at_pcr;  // ... and the clock there
    uint16_t runs_seen;
    uint64_t crc_failures, continuity_breaks, bytes_skipped, packets_dropped;
};
Gather g_tGather;

// Bins twice as large: each pair of bins becomes one.
void Fold(TS_Timeline& t) {
    for (uint32_t i = 0; i < kBins / 2; ++i) {
        const uint32_t a = 2 * i, b = 2 * i + 1;
        t.bin_clock[i] = t.bin_clock[a];
        t.crc_failures[i] = t.crc_failures[a] + t.crc_failures[b];
        t.continuity_breaks[i] = t.continuity_breaks[a] + t.continuity_breaks[b];
        t.resyncs[i] = t.resyncs[a] + t.resyncs[b];
    }
    for (uint32_t i = kBins / 2; i < kBins; ++i) {
        t.bin_clock[i] = 0;
        t.crc_failures[i] = t.continuity_breaks[i] = t.resyncs[i] = 0;
    }
    for (uint32_t l = 0; l < t.lane_count; ++l) {
        uint8_t* bits = t.lanes[l].present;
        uint8_t folded[kBins / 8] = {};
        for (uint32_t i = 0; i < kBins / 2; ++i) {
            const bool set = (bits[(2 * i) >> 3] >> ((2 * i) & 7) & 3) != 0;  // bins 2i and 2i+1 share a byte
            if (set) folded[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
        }
        std::memcpy(bits, folded, sizeof folded);
    }
    t.clock_bins = (t.clock_bins + 1) / 2;
    ++t.shift;
}

// A PCR at `offset` has brought the clock to t.clock: the bins that begin after the last
// PCR and up to this one get their time, in proportion to their place between the two (the
// bins before the first PCR stay at 0).
void ClockBins(Gather& g, uint64_t offset, bool first) {
    TS_Timeline& t = *g.t;
    const uint64_t last = offset >> t.shift;  // below kBins: the bins were folded for it
    for (uint64_t b = t.clock_bins; b <= last; ++b) {
        const uint64_t start = b << t.shift;
        if (first || start <= g.pcr_offset) {
            t.bin_clock[b] = first ? 0 : g.clock_at_pcr;
        } else {
            const double share = static_cast<double>(start - g.pcr_offset) / static_cast<double>(offset - g.pcr_offset);
            t.bin_clock[b] = g.clock_at_pcr + static_cast<uint64_t>(share * static_cast<double>(t.clock - g.clock_at_pcr));
        }
    }
    if (last + 1 > t.clock_bins) t.clock_bins = static_cast<uint32_t>(last + 1);
    g.pcr_offset = offset;
    g.clock_at_pcr = t.clock;
}

// The streams of runs the report has begun since the last look get a lane each.
void AddLanes(Gather& g) {
    TS_Timeline& t = *g.t;
    for (; g.runs_seen < g.report->run_count; ++g.runs_seen) {
        const TS_RunInfo& run = g.report->runs[g.runs_seen];
        for (uint32_t k = 0; k < run.stream_count && k < TS_MAX_ELEMENTARY_PIDS; ++k) {
            const uint16_t pid = run.streams[k].PID & 0x1FFF;
            if (g.lane_of[pid] != kNoLane) continue;
            if (t.lane_count >= TS_TIMELINE_LANES) {
                g.lane_of[pid] = kLaneLeftOut;
                ++t.lanes_left_out;
                continue;
            }
            g.lane_of[pid] = static_cast<uint8_t>(t.lane_count);
            TS_TimelineLane& lane = t.lanes[t.lane_count++];
            lane.PID = pid;
            std::memset(lane.present, 0, sizeof lane.present);
        }
    }
}

void Watch(void* context, const ScanPacket& p) {
    Gather& g = *static_cast<Gather*>(context);
    TS_Timeline& t = *g.t;
    uint64_t bin = p.byte_offset >> t.shift;
    while (bin >= kBins) {
        Fold(t);
        bin >>= 1;
    }
    const TS_PMT& pmt = g_tSimpleData.tPMT;
    uint64_t value;
    if (pmt.decoded && PacketPCR(p, pmt.PCR_PID, &value)) {
        const bool first = !t.has_clock;
        AddRunPCR(&t.has_clock, &g.clock_first, &g.clock_last, &t.clock, value);
        ClockBins(g, p.byte_offset, first);
    }
    if (g.runs_seen != g.report->run_count) AddLanes(g);
    const uint8_t lane = g.lane_of[p.header.PID];
    if (lane < TS_TIMELINE_LANES) t.lanes[lane].present[bin >> 3] |= static_cast<uint8_t>(1u << (bin & 7));
    // Damage the scan and the walk counted up to this packet lies here.
    const TS_Damage& d = g_tDamage;
    if (d.crc_failures != g.crc_failures) {
        t.crc_failures[bin] += static_cast<uint32_t>(d.crc_failures - g.crc_failures);
        g.crc_failures = d.crc_failures;
    }
    if (d.continuity_breaks != g.continuity_breaks) {
        t.continuity_breaks[bin] += static_cast<uint32_t>(d.continuity_breaks - g.continuity_breaks);
        g.continuity_breaks = d.continuity_breaks;
    }
    if (d.bytes_skipped != g.bytes_skipped || d.packets_dropped != g.packets_dropped) {
        ++t.resyncs[bin];
        g.bytes_skipped = d.bytes_skipped;
        g.packets_dropped = d.packets_dropped;
    }
    t.bytes = p.byte_offset + p.unit_size;
}

}  // namespace

int32_t TS_SurveyTimeline(TS_Timeline* timeline, TS_RunReport* report, const char* fileName, TS_PMTOptions* options) {
    if (timeline == nullptr || report == nullptr || fileName == nullptr) return -1;
    std::memset(timeline, 0, sizeof *timeline);
    timeline->shift = kFirstShift;
    Gather& g = g_tGather;
    g.t = timeline;
    g.report = report;
    std::memset(g.lane_of, kNoLane, sizeof g.lane_of);
    g.clock_first = g.clock_last = g.pcr_offset = g.clock_at_pcr = 0;
    g.runs_seen = 0;
    g.crc_failures = g.continuity_breaks = g.bytes_skipped = g.packets_dropped = 0;
    return SurveyRunsWatched(report, fileName, options, Watch, &g);
}

// ---------------------------------------------------------------------------------------------
// The picture
// ---------------------------------------------------------------------------------------------

namespace {

constexpr int kWidth = 1280;
constexpr int kLabels = 300;  // the column of the lanes' labels
constexpr int kRight = 24;
constexpr int kPlot = kWidth - kLabels - kRight;
constexpr int kAxisY = 94;
constexpr int kRunsY = kAxisY + 6, kRunsH = 30;
constexpr int kLanesY = kRunsY + kRunsH + 14, kLaneH = 26;
constexpr int kDamageH = 40;

// One colour per PMT, in order of first appearance, again from the first after ten.
constexpr const char* kPalette[] = {"#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#76b7b2",
                                    "#edc948", "#b07aa1", "#ff9da7", "#9c755f", "#bab0ac"};
constexpr const char* kDamageColour[] = {"#d62728", "#ff7f0e", "#7b3fb0"};
constexpr const char* kDamageName[] = {"CRC_32 failures", "continuity breaks", "resyncs"};
constexpr const char* kDamageClass[] = {"crc", "continuity", "resync"};

// The codec of a stream, as its lane names it: the codec's name, else (when the PMT does not
// tell it) the name of its stream_type.
const char* CodecName(const TS_RunStream& s, char* buffer) {
    if (const char* name = TS_CodecName(s.codec)) {
        std::snprintf(buffer, TS_LABEL_CAPACITY, "%s%s", name, s.dual_mono ? " dual mono" : "");
        return buffer;
    }
    TS_Header_StreamTypeToString(buffer, s.stream_type);
    return buffer;
}

// Text for XML: valid UTF-8 passes with the five special characters escaped; other bytes
// and control characters become '?'.
void PutXML(const char* text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const size_t n = std::strlen(text);
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            switch (c) {
                case '&': std::fputs("&amp;", stdout); break;
                case '<': std::fputs("&lt;", stdout); break;
                case '>': std::fputs("&gt;", stdout); break;
                case '"': std::fputs("&quot;", stdout); break;
                case '\'': std::fputs("&apos;", stdout); break;
                default: std::putchar(c < 0x20 || c == 0x7F ? '?' : c);
            }
            ++i;
            continue;
        }
        const size_t len = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = len > 1 && i + len <= n;
        for (size_t k = 1; valid && k < len; ++k) valid = (s[i + k] & 0xC0) == 0x80;
        if (valid && len == 2) valid = c >= 0xC2;
        if (valid && len == 3) {
            valid = !(c == 0xE0 && s[i + 1] < 0xA0) && !(c == 0xED && s[i + 1] >= 0xA0);
            valid = valid && !(c == 0xEF && s[i + 1] == 0xBF && s[i + 2] >= 0xBE);  // U+FFFE, U+FFFF
        }
        if (valid && len == 4) valid = c <= 0xF4 && !(c == 0xF0 && s[i + 1] < 0x90) && !(c == 0xF4 && s[i + 1] >= 0x90);
        if (valid) {
            std::fwrite(s + i, 1, len, stdout);
            i += len;
        } else {
            std::putchar('?');
            ++i;
        }
    }
}

// A language code as its three letters, anything but a letter or digit as '?'.
void LanguageText(uint32_t code, char out[4]) {
    for (int i = 0; i < 3; ++i) {
        const char c = static_cast<char>((code >> (16 - 8 * i)) & 0xFF);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        out[i] = plain ? c : '?';
    }
    out[3] = '\0';
}

// Where things lie on the axis: PCR time when the input has some, else the byte offset.
struct Axis {
    const TS_Timeline* t;
    bool time;
    uint32_t bins;       // bins in use
    double total;        // the axis' length, in ticks or bytes
    double clock[kBins + 1];  // PCR time at each bin's start, and at the end

    explicit Axis(const TS_Timeline* timeline) : t(timeline) {
        bins = t->bytes ? static_cast<uint32_t>(((t->bytes - 1) >> t->shift) + 1) : 0;
        if (bins > kBins) bins = kBins;
        time = t->has_clock && t->clock > 0;
        total = time ? static_cast<double>(t->clock) : static_cast<double>(t->bytes);
        if (total <= 0) total = 1;
        // After the last PCR the clock stands still.
        for (uint32_t b = 0; b <= bins; ++b)
            clock[b] = static_cast<double>(b < t->clock_bins ? t->bin_clock[b] : t->clock);
    }

    // The position of an input offset on the axis, between 0 and `total`.
    double At(uint64_t offset) const {
        if (!time) return static_cast<double>(offset < t->bytes ? offset : t->bytes);
        const uint64_t b = offset >> t->shift;
        if (b >= bins) return clock[bins];
        const double size = static_cast<double>(uint64_t{1} << t->shift);
        const double into = static_cast<double>(offset - (b << t->shift)) / size;
        const double next = b + 1 < bins ? clock[b + 1] : clock[bins];
        return clock[b] + (next - clock[b]) * (into < 1 ? into : 1);
    }
    double X(uint64_t offset) const { return kLabels + kPlot * At(offset) / total; }
    // Whether the bins from `from` to before `to` are a gap of under half a second (of 1% of
    // the axis without PCR).
    bool ShortGap(uint32_t from, uint32_t to) const {
        const double gap = At(uint64_t{to} << t->shift) - At(uint64_t{from} << t->shift);
        return time ? gap < 27000000.0 / 2 : gap < total / 100;
    }
    double BinStart(uint32_t b) const { return X(uint64_t{b} << t->shift); }
    double BinEnd(uint32_t b) const {
        const uint64_t end = uint64_t{b + 1} << t->shift;
        return X(end < t->bytes ? end : t->bytes);
    }
};

// Seconds as the axis shows them: "12 s", "1:05", "1:02:03".
void TimeText(double seconds, double step, char* out, size_t size) {
    if (step >= 60 || seconds >= 600) {
        const long s = std::lround(seconds);
        if (s >= 3600) std::snprintf(out, size, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
        else std::snprintf(out, size, "%ld:%02ld", s / 60, s % 60);
    } else {
        std::snprintf(out, size, "%g s", seconds);
    }
}

// A round step giving six to twelve ticks over `total`: 1, 2 or 5 times a power of ten.
double TickStep(double total) {
    const double raw = total / 8;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * magnitude >= raw) return m * magnitude;
    return 10 * magnitude;
}

void PrintAxis(const Axis& a, int bottom) {
    std::printf("<g id=\"axis\" font-size=\"11\" fill=\"#444\">\n");
    double scale = 27000000.0;  // ticks of a second
    const char* unit = "";
    if (!a.time) {
        scale = a.total >= 1048576 ? 1048576.0 : 1024.0;
        unit = a.total >= 1048576 ? " MiB" : " KiB";
    }
    const double length = a.total / scale;
    const double step = TickStep(length);
    for (int k = 0; k * step <= length * 1.0000001 && k < 100; ++k) {
        const double v = k * step;
        const double x = kLabels + kPlot * (v * scale) / a.total;
        char label[64];
        if (a.time) TimeText(v, step, label, sizeof label);
        else std::snprintf(label, sizeof label, "%g%s", v, unit);
        std::printf("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#ddd\"/>", x, kAxisY, x, bottom);
        std::printf("<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", x, kAxisY - 6, label);
    }
    std::printf("<text x=\"%d\" y=\"%d\" font-weight=\"bold\">%s</text>\n", 12, kAxisY - 6,
                a.time ? "PCR time" : "byte offset (no PCR)");
    std::printf("</g>\n");
}

// The index of each run's PMT among the distinct ones, in order of first appearance.
struct PMTIndices {
    uint16_t of[TS_MAX_RUNS];
    uint16_t count = 0;
    explicit PMTIndices(const TS_RunReport* r) {
        for (uint32_t i = 0; i < r->run_count && i < TS_MAX_RUNS; ++i) {
            of[i] = count;
            for (uint32_t j = 0; j < i; ++j)
                if (r->runs[j].CRC_32 == r->runs[i].CRC_32) {
                    of[i] = of[j];
                    break;
                }
            if (of[i] == count) ++count;
        }
    }
};

// A PMT's letter: A to Z, then AA, AB...
void PMTName(uint32_t index, char out[8]) {
    if (index < 26) std::snprintf(out, 8, "%c", 'A' + index);
    else std::snprintf(out, 8, "%c%c", 'A' + (index / 26 - 1) % 26, 'A' + index % 26);
}

// Where a run's band ends: where the next run begins (what lies between, a PAT packet
// for instance, belongs to the stretch of the run), or after the last run's last packet.
uint64_t RunEnd(const TS_RunReport* r, uint32_t i) {
    return i + 1 < r->run_count && i + 1 < TS_MAX_RUNS ? r->runs[i + 1].first_byte : r->runs[i].end_byte;
}

void PrintRuns(const Axis& a, const TS_RunReport* r, const PMTIndices& pmts) {
    std::printf("<g id=\"runs\">\n<text x=\"12\" y=\"%d\" font-size=\"12\" font-weight=\"bold\">runs of PMTs</text>\n",
                kRunsY + 19);
    for (uint32_t i = 0; i < r->run_count && i < TS_MAX_RUNS; ++i) {
        const TS_RunInfo& run = r->runs[i];
        const uint32_t pmt = pmts.of[i];
        const double x0 = a.X(run.first_byte), x1 = a.X(RunEnd(r, i));
        const double w = x1 - x0 < 1 ? 1 : x1 - x0;
        char name[8];
        PMTName(pmt, name);
        const bool margin = r->margins && run.margin;
        std::printf("<g class=\"run\" data-run=\"%u\" data-crc=\"0x%08X\" data-pmt=\"%s\"%s>", i, run.CRC_32, name,
                    margin ? " data-margin=\"true\"" : "");
        std::printf("<title>Run %u: PMT %s, CRC32 0x%08X, packets %llu-%llu, %llu bytes", i, name, run.CRC_32,
                    static_cast<unsigned long long>(run.first_packet), static_cast<unsigned long long>(run.last_packet),
                    static_cast<unsigned long long>(run.bytes));
        if (run.has_pcr) std::printf(", %.3f s of PCR time", static_cast<double>(run.pcr_ticks) / 27000000.0);
        else std::fputs(", no PCR", stdout);
        std::printf("%s</title>", margin ? ", a margin" : "");
        std::printf("<rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" fill=\"%s\"%s/>", x0, kRunsY, w, kRunsH,
                    kPalette[pmt % 10], margin ? " fill-opacity=\"0.45\"" : "");
        if (margin)
            std::printf("<rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" fill=\"url(#hatch)\" stroke=\"#333\" "
                        "stroke-dasharray=\"3 2\"/>",
                        x0, kRunsY, w, kRunsH);
        if (w >= 14)
            std::printf("<text x=\"%.2f\" y=\"%d\" font-size=\"12\" text-anchor=\"middle\" fill=\"%s\" "
                        "font-weight=\"bold\">%s</text>",
                        x0 + w / 2, kRunsY + (margin ? 15 : 19), margin ? "#222" : "#fff", name);
        if (margin && w >= 60)
            std::printf("<text x=\"%.2f\" y=\"%d\" font-size=\"9\" text-anchor=\"middle\" fill=\"#222\">margin</text>",
                        x0 + w / 2, kRunsY + kRunsH - 2);
        std::printf("</g>\n");
    }
    std::printf("</g>\n");
}

// The label of a lane: its PID, the codecs the runs give it and its languages.
void PrintLaneLabel(const TS_RunReport* r, uint16_t pid, int y) {
    // The distinct kinds of stream the runs give the PID (stream_type, codec, dual mono).
    const TS_RunStream* kinds[8];
    uint32_t kind_count = 0;
    uint32_t languages[TS_MAX_RUN_LANGUAGES];
    uint32_t language_count = 0;
    for (uint32_t i = 0; i < r->run_count && i < TS_MAX_RUNS; ++i) {
        const TS_RunInfo& run = r->runs[i];
        for (uint32_t k = 0; k < run.stream_count && k < TS_MAX_ELEMENTARY_PIDS; ++k) {
            const TS_RunStream& s = run.streams[k];
            if ((s.PID & 0x1FFF) != pid) continue;
            bool known = false;
            for (uint32_t j = 0; j < kind_count; ++j)
                known = known || (kinds[j]->stream_type == s.stream_type && kinds[j]->codec == s.codec &&
                                  kinds[j]->dual_mono == s.dual_mono);
            if (!known && kind_count < 8) kinds[kind_count++] = &s;
            for (uint32_t l = 0; l < s.language_count && l < TS_MAX_RUN_LANGUAGES; ++l) {
                known = false;
                for (uint32_t j = 0; j < language_count; ++j) known = known || languages[j] == s.languages[l];
                if (!known && language_count < TS_MAX_RUN_LANGUAGES) languages[language_count++] = s.languages[l];
            }
        }
    }
    char label[TS_LABEL_CAPACITY];
    std::printf("<text x=\"12\" y=\"%d\" font-size=\"12\"><tspan font-weight=\"bold\">0x%04X</tspan> ", y, pid);
    for (uint32_t j = 0; j < kind_count; ++j) {
        if (j) std::fputs(" / ", stdout);
        PutXML(CodecName(*kinds[j], label));
    }
    std::fputs("</text>", stdout);
    if (language_count) {
        std::printf("<text x=\"60\" y=\"%d\" font-size=\"10\" fill=\"#555\">", y + 11);
        char code[4];
        for (uint32_t j = 0; j < language_count; ++j) {
            LanguageText(languages[j], code);
            std::printf("%s%s", j ? " " : "", code);
        }
        std::fputs("</text>", stdout);
    }
}

void PrintLanes(const Axis& a, const TS_RunReport* r, const PMTIndices& pmts) {
    const TS_Timeline& t = *a.t;
    std::printf("<g id=\"lanes\">\n");
    for (uint32_t l = 0; l < t.lane_count; ++l) {
        const TS_TimelineLane& lane = t.lanes[l];
        const int y = kLanesY + static_cast<int>(l) * kLaneH;
        std::printf("<g class=\"lane\" data-pid=\"0x%04X\">", lane.PID);
        if (l % 2) std::printf("<rect x=\"0\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#f6f6f6\"/>", y, kWidth, kLaneH);
        PrintLaneLabel(r, lane.PID, y + 12);
        // Where a run's PMT names the stream, faintly in the PMT's colour.
        for (uint32_t i = 0; i < r->run_count && i < TS_MAX_RUNS; ++i) {
            const TS_RunInfo& run = r->runs[i];
            bool named = false;
            for (uint32_t k = 0; k < run.stream_count && k < TS_MAX_ELEMENTARY_PIDS && !named; ++k)
                named = (run.streams[k].PID & 0x1FFF) == lane.PID;
            if (!named) continue;
            const double x0 = a.X(run.first_byte), x1 = a.X(RunEnd(r, i));
            std::printf("<rect class=\"named\" x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" fill=\"%s\" "
                        "fill-opacity=\"0.22\"/>",
                        x0, y + 3, x1 - x0 < 1 ? 1 : x1 - x0, kLaneH - 6, kPalette[pmts.of[i] % 10]);
        }
        // Where its packets are: the bins holding some, joined across gaps too short to
        // mean the stream stopped (a sparse stream has packets in few bins).
        auto present = [&](uint32_t b) { return (lane.present[b >> 3] >> (b & 7) & 1) != 0; };
        for (uint32_t b = 0; b < a.bins;) {
            if (!present(b)) {
                ++b;
                continue;
            }
            uint32_t e = b;
            for (uint32_t n = b + 1; n < a.bins; ++n) {
                if (!present(n)) continue;
                if (!a.ShortGap(e + 1, n)) break;
                e = n;
            }
            const double x0 = a.BinStart(b), x1 = a.BinEnd(e);
            std::printf("<rect class=\"present\" x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" fill=\"#2f4b7c\"/>", x0,
                        y + 8, x1 - x0 < 1 ? 1 : x1 - x0, kLaneH - 16);
            b = e + 1;
        }
        std::printf("</g>\n");
    }
    if (t.lanes_left_out)
        std::printf("<text x=\"12\" y=\"%d\" font-size=\"11\" fill=\"#555\">and %u more streams</text>\n",
                    kLanesY + static_cast<int>(t.lane_count) * kLaneH + 14, t.lanes_left_out);
    std::printf("</g>\n");
}

// One mark per kind and pixel column at most, wherever the scan met damage.
void PrintDamage(const Axis& a, int y) {
    const TS_Timeline& t = *a.t;
    const uint32_t* counts[] = {t.crc_failures, t.continuity_breaks, t.resyncs};
    std::printf("<g id=\"damage\">\n<text x=\"12\" y=\"%d\" font-size=\"12\" font-weight=\"bold\">damage</text>\n", y + 22);
    for (int kind = 0; kind < 3; ++kind) {
        uint64_t total = 0;
        for (uint32_t b = 0; b < a.bins; ++b) total += counts[kind][b];
        const int row = y + 4 + kind * 12;
        std::printf("<g class=\"marks %s\" data-count=\"%llu\" fill=\"%s\"><title>%llu %s</title>", kDamageClass[kind],
                    static_cast<unsigned long long>(total), kDamageColour[kind], static_cast<unsigned long long>(total),
                    kDamageName[kind]);
        long last = -1;
        for (uint32_t b = 0; b < a.bins; ++b) {
            if (counts[kind][b] == 0) continue;
            const double x = a.BinStart(b);
            if (std::lround(x) == last) continue;
            last = std::lround(x);
            std::printf("<rect class=\"mark\" x=\"%.1f\" y=\"%d\" width=\"2\" height=\"10\"/>", x - 1, row);
        }
        std::printf("</g>\n");
    }
    std::printf("</g>\n");
}

void PrintLegend(const TS_RunReport* r, const PMTIndices& pmts, const TS_Timeline& t, int y) {
    std::printf("<g id=\"legend\" font-size=\"11\">\n");
    int x = 12;
    for (uint32_t i = 0; i < r->run_count && i < TS_MAX_RUNS; ++i) {
        const uint32_t pmt = pmts.of[i];
        bool first = true;
        for (uint32_t j = 0; j < i && first; ++j) first = pmts.of[j] != pmt;
        if (!first) continue;
        char name[8];
        PMTName(pmt, name);
        if (x > kWidth - 190) {
            x = 12;
            y += 18;
        }
        std::printf("<rect x=\"%d\" y=\"%d\" width=\"12\" height=\"12\" fill=\"%s\"/>", x, y, kPalette[pmt % 10]);
        std::printf("<text x=\"%d\" y=\"%d\">PMT %s: CRC32 0x%08X</text>\n", x + 16, y + 10, name, r->runs[i].CRC_32);
        x += 190;
    }
    y += 22;
    x = 12;
    if (r->margins) {
        std::printf("<rect x=\"%d\" y=\"%d\" width=\"12\" height=\"12\" fill=\"url(#hatch)\" stroke=\"#333\"/>", x, y);
        std::printf("<text x=\"%d\" y=\"%d\">margin: left out by --min-run</text>\n", x + 16, y + 10);
        x += 210;
    }
    std::printf("<rect x=\"%d\" y=\"%d\" width=\"12\" height=\"6\" fill=\"#2f4b7c\"/><text x=\"%d\" y=\"%d\">packets "
                "present</text>\n",
                x, y + 3, x + 16, y + 10);
    x += 120;
    std::printf("<rect x=\"%d\" y=\"%d\" width=\"12\" height=\"12\" fill=\"#888\" fill-opacity=\"0.3\"/><text x=\"%d\" "
                "y=\"%d\">named by the PMT</text>\n",
                x, y, x + 16, y + 10);
    x += 140;
    const uint32_t* counts[] = {t.crc_failures, t.continuity_breaks, t.resyncs};
    for (int kind = 0; kind < 3; ++kind) {
        uint64_t total = 0;
        for (uint32_t b = 0; b < TS_TIMELINE_BINS; ++b) total += counts[kind][b];
        std::printf("<rect x=\"%d\" y=\"%d\" width=\"3\" height=\"12\" fill=\"%s\"/><text x=\"%d\" y=\"%d\">%llu %s</text>\n",
                    x, y, kDamageColour[kind], x + 8, y + 10, static_cast<unsigned long long>(total), kDamageName[kind]);
        x += 150;
    }
    std::printf("</g>\n");
}

}  // namespace

int32_t TS_PrintTimeline(const TS_Timeline* timeline, const TS_RunReport* report, const char* fileName) {
    if (timeline == nullptr || report == nullptr || fileName == nullptr) return -1;
    const Axis axis(timeline);
    const PMTIndices pmts(report);
    const TS_Timeline& t = *timeline;
    const int lanes_end = kLanesY + static_cast<int>(t.lane_count) * kLaneH + (t.lanes_left_out ? 20 : 0);
    const int damage_y = lanes_end + 6;
    const int legend_y = damage_y + kDamageH + 14;
    const int height = legend_y + 62;

    std::printf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    std::printf("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                "font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n",
                kWidth, height, kWidth, height);
    std::printf("<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
                "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#fff\" fill-opacity=\"0.35\"/>"
                "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#333\" stroke-width=\"2\"/></pattern></defs>\n");
    std::printf("<rect width=\"100%%\" height=\"100%%\" fill=\"#fff\"/>\n");
    std::fputs("<text x=\"12\" y=\"24\" font-size=\"16\" font-weight=\"bold\">", stdout);
    PutXML(fileName);
    std::fputs("</text>\n", stdout);
    std::printf("<text x=\"12\" y=\"44\" font-size=\"12\" fill=\"#444\">%u runs of %u PMTs, ", report->run_count, pmts.count);
    if (t.has_clock) std::printf("%.3f s of PCR time, ", static_cast<double>(t.clock) / 27000000.0);
    else std::fputs("no PCR, ", stdout);
    std::printf("%.1f MiB in packets of %u bytes", static_cast<double>(t.bytes) / 1048576.0, report->packet_size);
    if (report->margins) std::fputs("; margins hatched", stdout);
    std::fputs("</text>\n", stdout);
    if (TS_Damage_Any(&report->damage)) {
        // The damage line, cut where it would leave the picture.
        static char text[4096];
        const size_t n = TS_Damage_Format(text, sizeof text, &report->damage);
        if (n > 200) std::memcpy(text + 196, "...", 4);
        std::fputs("<text x=\"12\" y=\"60\" font-size=\"11\" fill=\"#a00\">damaged: ", stdout);
        PutXML(text);
        std::fputs("</text>\n", stdout);
    }
    PrintAxis(axis, damage_y + kDamageH);
    PrintRuns(axis, report, pmts);
    PrintLanes(axis, report, pmts);
    PrintDamage(axis, damage_y);
    PrintLegend(report, pmts, t, legend_y);
    std::fputs("</svg>\n", stdout);
    return 0;
}
