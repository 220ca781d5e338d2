// Run report: the survey's runs of PMTs, with where each lies in the input, the PCR time it
// covers and its streams. It walks the stream with the survey's own walker and counts the
// same bytes, so its sizes are the listing's.
#include <cstdio>
#include <cstring>

#include "core/report.h"
#include "core/clock.h"
#include "core/output.h"
#include "pmt/pmt_walk.h"
#include "pmt/pmt.h"

using namespace ts_detail;

namespace {

// The languages of one stream, from every descriptor that names some, taken in the order
// of TS_LanguageSource and each code once.
void CollectLanguages(TS_RunStream& s, const TS_StreamInfo& info, uint16_t pid) {
    uint32_t codes[TS_MAX_LANGUAGES];
    const uint32_t descriptors = info.descriptor_count < TS_MAX_DESCRIPTORS ? info.descriptor_count : TS_MAX_DESCRIPTORS;
    for (int source = TS_LANGUAGE_ISO_639; source <= TS_LANGUAGE_LAST; ++source) {
        for (uint32_t d = 0; d < descriptors; ++d) {
            const TS_Descriptor& desc = info.descriptors[d];
            if (TS_Descriptor_LanguageSource(&desc) != source) continue;
            const uint32_t n = TS_Descriptor_GetLanguages(&desc, codes, TS_MAX_LANGUAGES);
            for (uint32_t k = 0; k < n; ++k) {
                bool known = false;
                for (uint32_t j = 0; j < s.language_count; ++j) known = known || s.languages[j] == codes[k];
                if (known) continue;
                if (s.language_count >= TS_MAX_RUN_LANGUAGES) {
                    NoteCapacity("PMT", pid, ts_detail::kLanguagesLimit);
                    return;
                }
                s.languages[s.language_count++] = codes[k];
            }
        }
    }
}

// Codec, dual mono and languages of the stream entry `i` of `pmt`.
void DescribeStream(TS_RunStream& s, const TS_PMT& pmt, uint32_t i) {
    s.language_count = 0;
    s.dual_mono = 0;
    if (i >= pmt.stream_count || i >= TS_MAX_STREAMS) {  // beyond the detailed records
        s.codec = TS_StreamTypeCodec(&pmt, s.stream_type);
        return;
    }
    const TS_StreamInfo& info = pmt.streams[i];
    s.codec = TS_StreamCodec(&pmt, &info);
    // The languages of a dual-mono pair come from descriptors that are language sources too.
    CollectLanguages(s, info, pmt.PID);
    uint32_t pair[2];
    s.dual_mono = TS_StreamDualMono(&pmt, &info, pair) == 1;
}

struct RunsSink {
    TS_RunReport* report;
    TS_SimpleData* data;
    const char* name;
    int32_t current = -1;  // run the stream packets extend; -1: not reported
    int32_t next = -1;
    bool warned = false;

    // The packet `index` at `offset` (`size` bytes) lies in the run.
    void Place(int32_t run, uint64_t index, uint64_t offset, uint32_t size) {
        if (run < 0) return;
        TS_RunInfo& r = report->runs[run];
        if (r.end_byte == 0) {  // the run's first packet
            r.first_packet = index;
            r.first_byte = offset;
        }
        r.last_packet = index;
        r.end_byte = offset + size;
    }

    void Start(uint32_t crc) {
        TS_RunInfo& r = report->runs[report->run_count++];
        std::memset(&r, 0, offsetof(TS_RunInfo, streams));
        r.CRC_32 = crc;
        const TS_PMT& pmt = data->tPMT;
        for (uint32_t i = 0; i < pmt.elementary_PID_count && i < TS_MAX_ELEMENTARY_PIDS; ++i) {
            TS_RunStream& s = r.streams[r.stream_count++];
            s.PID = pmt.elementary_PIDs[i];
            s.stream_type = pmt.elementary_stream_types[i];
            DescribeStream(s, pmt, i);
        }
    }

    int32_t Begin(uint32_t crc, uint64_t bytes, bool new_run) {
        if (!new_run) {
            if (current < 0) return next = -1, 0;
            next = current;
            report->runs[next].bytes += bytes;
            return 0;
        }
        next = -1;
        if (report->run_count >= TS_MAX_RUNS) {
            if (!warned)
                Report("Warning: %s holds more than %u PMT runs; later runs are not reported.\n", name,
                             TS_MAX_RUNS);
            warned = true;
            return 0;
        }
        Start(crc);
        next = report->run_count - 1;
        report->runs[next].bytes += bytes;
        return 0;
    }

    int32_t PATCopy(const uint8_t*, uint32_t) { return 0; }
    int32_t Carrier(const uint8_t*, uint32_t size, uint64_t index, uint64_t offset) {
        Place(next, index, offset, size);  // its bytes counted with the section in Begin
        return 0;
    }
    int32_t End() {
        current = next;
        return 0;
    }
    // The walk's runs are the report's, up to its capacity.
    int32_t Margin(uint32_t run) {
        if (run < report->run_count) report->runs[run].margin = 1;
        return 0;
    }

    int32_t Stream(const ScanPacket& p) {
        if (current < 0) return 0;
        Place(current, p.index, p.byte_offset, p.unit_size);
        report->runs[current].bytes += p.unit_size;
        uint64_t value;
        if (PacketPCR(p, data->tPMT.PCR_PID, &value)) {
            TS_RunInfo& r = report->runs[current];
            AddRunPCR(&r.has_pcr, &r.pcr_first, &r.pcr_last, &r.pcr_ticks, value);
        }
        return 0;
    }
};

}  // namespace

int32_t TS_SurveyRuns(TS_RunReport* report, const char* fileName, TS_PMTOptions* options) {
    return SurveyRunsWatched(report, fileName, options, nullptr, nullptr);
}

int32_t ts_detail::SurveyRunsWatched(TS_RunReport* report, const char* fileName, TS_PMTOptions* options,
                                     PacketWatch watch, void* context) {
    if (report == nullptr || fileName == nullptr) return -1;
    TS_InitialiseSimple(&g_tSimpleData);
    report->run_count = 0;
    report->packet_size = TS_PACKET_SIZE;
    report->margins = options && options->margins ? 1 : 0;
    InputFile input;
    if (OpenInput(&input, fileName) != 0) return -2;
    RunsSink sink{report, &g_tSimpleData, fileName};
    PMTWalk<RunsSink> walk(sink, fileName, options);
    int32_t r = ScanInput(walk.data, input, fileName, [&](const ScanPacket& p) {
        report->packet_size = p.unit_size;
        const int32_t handled = walk.Handle(p);
        if (watch) watch(context, p);
        return handled;
    });
    r = walk.Finish(r);
    report->damage = g_tDamage;
    CloseInput(&input);
    return r;
}

namespace {

double Seconds(uint64_t ticks) { return static_cast<double>(ticks) / 27000000.0; }

// A language code as its three letters; bytes outside printable ASCII, quotes and
// backslashes as '?'.
void LanguageText(uint32_t code, char out[4]) {
    for (int i = 0; i < 3; ++i) {
        char c = static_cast<char>((code >> (16 - 8 * i)) & 0xFF);
        out[i] = c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? c : '?';
    }
    out[3] = '\0';
}

// A JSON string of arbitrary bytes: valid UTF-8 passes through, everything else is escaped
// (bytes that are not UTF-8 become the code point of the same value).
void PrintJSONString(const unsigned char* s, size_t n) {
    std::putchar('"');
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = len > 1 && i + len <= n;
        for (size_t k = 1; valid && k < len; ++k) valid = (s[i + k] & 0xC0) == 0x80;
        if (valid && len == 2) valid = c >= 0xC2;
        if (valid && len == 3) valid = !(c == 0xE0 && s[i + 1] < 0xA0) && !(c == 0xED && s[i + 1] >= 0xA0);
        if (valid && len == 4) valid = c <= 0xF4 && !(c == 0xF0 && s[i + 1] < 0x90) && !(c == 0xF4 && s[i + 1] >= 0x90);
        if (valid) {
            std::fwrite(s + i, 1, len, stdout);
            i += len;
            continue;
        }
        if (c == '"' || c == '\\') std::printf("\\%c", c);
        else if (c >= 0x20 && c < 0x7F) std::putchar(c);
        else std::printf("\\u%04X", c);
        ++i;
    }
    std::putchar('"');
}

void PrintJSONTime(const TS_RunInfo& r, uint64_t value) {
    if (r.has_pcr) std::printf("%.6f", Seconds(value));
    else std::fputs("null", stdout);
}

}  // namespace

int32_t TS_PrintRuns(const TS_RunReport* report, const char* fileName, bool json) {
    if (report == nullptr || fileName == nullptr) return -1;
    char label[TS_LABEL_CAPACITY];
    char language[4];
    if (json) {
        std::fputs("{\"version\": 1, \"file\": ", stdout);
        PrintJSONString(reinterpret_cast<const unsigned char*>(fileName), std::strlen(fileName));
        std::printf(", \"packet_size\": %u, \"runs\": [", report->packet_size);
    }
    for (uint32_t i = 0; i < report->run_count && i < TS_MAX_RUNS; ++i) {
        const TS_RunInfo& r = report->runs[i];
        if (json) {
            std::printf("%s\n  {\"index\": %u, \"crc32\": \"0x%08X\", \"first_packet\": %llu, \"last_packet\": %llu, "
                        "\"first_byte\": %llu, \"end_byte\": %llu, \"bytes\": %llu, \"pcr_start\": ",
                        i ? "," : "", i, r.CRC_32, static_cast<unsigned long long>(r.first_packet),
                        static_cast<unsigned long long>(r.last_packet), static_cast<unsigned long long>(r.first_byte),
                        static_cast<unsigned long long>(r.end_byte), static_cast<unsigned long long>(r.bytes));
            PrintJSONTime(r, r.pcr_first);
            std::fputs(", \"pcr_end\": ", stdout);
            PrintJSONTime(r, r.pcr_last);
            std::fputs(", \"duration\": ", stdout);
            PrintJSONTime(r, r.pcr_ticks);
            if (report->margins) std::printf(", \"margin\": %s", r.margin ? "true" : "false");
            std::fputs(", \"streams\": [", stdout);
        } else {
            std::printf("Run %u: PMT CRC32 0x%08X%s\n", i, r.CRC_32, report->margins && r.margin ? " margin" : "");
            std::printf("  packets %llu-%llu, bytes %llu-%llu, size %llu bytes\n",
                        static_cast<unsigned long long>(r.first_packet), static_cast<unsigned long long>(r.last_packet),
                        static_cast<unsigned long long>(r.first_byte), static_cast<unsigned long long>(r.end_byte),
                        static_cast<unsigned long long>(r.bytes));
            if (r.has_pcr)
                std::printf("  PCR %.6f s to %.6f s, duration %.6f s\n", Seconds(r.pcr_first), Seconds(r.pcr_last),
                            Seconds(r.pcr_ticks));
            else
                std::puts("  PCR none");
        }
        for (uint32_t k = 0; k < r.stream_count && k < TS_MAX_ELEMENTARY_PIDS; ++k) {
            const TS_RunStream& s = r.streams[k];
            TS_Header_StreamTypeToString(label, s.stream_type);
            const char* codec = TS_CodecName(s.codec);
            if (json) {
                std::printf("%s{\"pid\": %u, \"stream_type\": %u, \"type_name\": ", k ? ", " : "", s.PID, s.stream_type);
                PrintJSONString(reinterpret_cast<const unsigned char*>(label), std::strlen(label));
                if (codec) std::printf(", \"codec\": \"%s\"", codec);
                else std::fputs(", \"codec\": null", stdout);
                std::printf(", \"dual_mono\": %s, \"languages\": [", s.dual_mono ? "true" : "false");
            } else {
                std::printf("  stream PID 0x%04X type 0x%02X (%s)", s.PID, s.stream_type, label);
                if (codec) std::printf(" codec %s", codec);
                if (s.dual_mono) std::fputs(" dual mono", stdout);
            }
            for (uint32_t l = 0; l < s.language_count && l < TS_MAX_RUN_LANGUAGES; ++l) {
                LanguageText(s.languages[l], language);
                if (json) std::printf("%s\"%s\"", l ? ", " : "", language);
                else std::printf("%s%s", l ? " " : " languages ", language);
            }
            std::fputs(json ? "]}" : "\n", stdout);
        }
        if (json) std::fputs("]}", stdout);
    }
    if (json) {
        const TS_Damage& d = report->damage;
        std::fputs(report->run_count ? "\n], " : "], ", stdout);
        std::printf("\"damage\": {\"crc_failures\": %llu, \"crc_failures_by_pid\": {",
                    static_cast<unsigned long long>(d.crc_failures));
        bool first = true;
        for (uint32_t pid = 0; pid < 8192; ++pid) {
            if (d.crc_failures_by_PID[pid] == 0) continue;
            std::printf("%s\"0x%04X\": %u", first ? "" : ", ", pid, d.crc_failures_by_PID[pid]);
            first = false;
        }
        std::printf("}, \"damaged_sections\": %llu, \"continuity_breaks\": %llu, \"transport_errors\": %llu, "
                    "\"bytes_skipped\": %llu, \"packets_dropped\": %llu, \"incomplete_last_packet\": %llu}}\n",
                    static_cast<unsigned long long>(d.damaged_sections),
                    static_cast<unsigned long long>(d.continuity_breaks),
                    static_cast<unsigned long long>(d.transport_errors), static_cast<unsigned long long>(d.bytes_skipped),
                    static_cast<unsigned long long>(d.packets_dropped), static_cast<unsigned long long>(d.incomplete_tail));
    }
    return 0;
}
