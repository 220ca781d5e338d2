// velkarin: lists the PMTs of a one-program MPEG-2 transport stream with their sizes, and
// splits the stream into one file per PMT.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "cli.h"
#include "pmt/pmt.h"

namespace {

constexpr const char* kProgram = "velkarin";
constexpr int kInvalidCRC = 255;

// The front end's own name buffer: the output name of the -l request.
char g_strString1[TS_NAME_CAPACITY];

void PrintUsage() {
    std::puts("=== Velkarin === v1.00");
    std::puts("Split PMT and streams from one-program MPEG-2 TS file.");
    std::puts("Usage: velkarin <input TS filename> [-a] [-l] [<PMT CRC32> [<output TS filename>]]");
    std::puts("To check PMT CRC32, <input TS filename> only to parameter.");
    std::puts("");
    std::puts("-a : Output all PMT and streams.");
    std::puts("-l : Output most large PMT and streams.");
}

void PrintOptions() {
    std::puts("");
    std::puts("Options, in any position:");
    std::puts("  -a, --all              every PMT into a file of its own (as -a above)");
    std::puts("  -l, --largest          the largest PMT (as -l above)");
    std::puts("  -r, --each-run         every run of a PMT into a file of its own, <input>_NN_<CRC32>.ts");
    std::puts("      --min-run SECONDS  leave out the first and the last run when shorter than SECONDS of PCR time");
    std::puts("  -o, --output-dir DIR   make the generated names in DIR");
    std::puts("      --program N        follow the program with program_number N");
    std::puts("      --keep-si          keep the service-information PIDs (NIT, SDT, EIT, TDT...) in every piece");
    std::puts("      --json             the listing as one JSON document");
    std::puts("  -v, --verbose          the exact bytes and runs under each listing line");
    std::puts("      --progress         show the progress line even when standard error is not a terminal");
    std::puts("      --no-progress      never show it");
    std::puts("  -h, --help             show this text");
    std::puts("      --version          show the version");
    std::puts("  -                      as the input: standard input; as the output: standard output");
}

// Hexadecimal CRC-32, with an optional 0x or 0X; the last eight digits count. At least one
// digit.
bool ParseCRC(const char* text, uint32_t* crc) {
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    if (*p == '\0') return false;
    uint32_t value = 0;
    for (; *p; ++p) {
        uint32_t digit;
        if (*p >= '0' && *p <= '9') digit = static_cast<uint32_t>(*p - '0');
        else if (*p >= 'a' && *p <= 'f') digit = static_cast<uint32_t>(*p - 'a' + 10);
        else if (*p >= 'A' && *p <= 'F') digit = static_cast<uint32_t>(*p - 'A' + 10);
        else return false;
        value = (value << 4) + digit;
    }
    *crc = value;
    return true;
}

enum OptionId { kAll, kLargest, kOutputDir, kProgramNumber, kKeepSI, kJSON, kVerbose, kEachRun, kMinRun };

struct Request {
    std::string input;
    std::string base;           // of the generated names
    TS_PMTOptions options{};
    bool verbose = false;
    std::string min_run;        // as given, for the messages
};

// Reports a driver failure: the driver has said what failed; this says why, or names the
// programs when the input carries several.
int Failed(int32_t result, const Request& r) {
    if (result == -3) {
        std::fprintf(stderr, "%s: %s carries %u programs (", kProgram, r.input.c_str(), r.options.program_count);
        for (uint16_t i = 0; i < r.options.program_count; ++i)
            std::fprintf(stderr, "%s%u", i ? ", " : "", r.options.program_numbers[i]);
        std::fprintf(stderr, "); choose one with --program N, or split them with velkarin-programs.\n");
    } else {
        cli::SayWhy(kProgram);
    }
    return cli::kFailed;
}

// "No PMT found in FILE." and why, when sections were dropped for their CRC_32 or every run
// was a margin.
int NoPMT(const Request& r, const char* what) {
    const uint64_t failed = TS_GetDamage()->crc_failures;
    if (r.options.margins_found != 0)
        std::fprintf(stderr, "%s: every PMT run of %s is a margin shorter than %s s (--min-run)%s.\n", kProgram,
                     r.input.c_str(), r.min_run.c_str(), what);
    else if (r.options.program_number != 0)
        std::fprintf(stderr, "%s: no PMT of program %u in %s%s.\n", kProgram, r.options.program_number, r.input.c_str(), what);
    else if (failed)
        std::fprintf(stderr, "No PMT found in %s: %llu sections failed their CRC_32%s.\n", r.input.c_str(),
                     static_cast<unsigned long long>(failed), what);
    else
        std::fprintf(stderr, "No PMT found in %s%s.\n", r.input.c_str(), what);
    return cli::kFailed;
}

int List(Request& r) {
    static TS_PMTSplitTable table;
    int32_t status = TS_CheckPMTSplit(&table, r.input.c_str(), &r.options);
    if (status == -2 || status == TS_READ_FAILED) return Failed(status, r);
    for (uint16_t i = 0; i < table.u16Count; ++i) {
        const TS_PMTSplitEntry& e = table.ltEntry[i];
        std::printf("PMT CRC32:0x%08X size:%dMB\n", e.u32CRC32, static_cast<int>(e.u64Size >> 20));
        if (r.verbose)
            std::printf("  bytes %llu, runs %u\n", static_cast<unsigned long long>(e.u64Size), e.u32Runs);
    }
    if (status != 0) return Failed(status, r);
    if (table.u16Count == 0) return NoPMT(r, "");
    return cli::kOk;
}

// The listing as one JSON document: for each PMT its CRC-32, exact bytes, runs and the PCR
// time its runs cover (the figures of velkarin-dump --runs).
void PrintJSONString(const std::string& s) {
    std::putchar('"');
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') std::printf("\\%c", c);
        else if (c < 0x20) std::printf("\\u%04X", c);
        else std::putchar(c);
    }
    std::putchar('"');
}

int ListJSON(Request& r) {
    static TS_RunReport report;
    const int32_t status = TS_SurveyRuns(&report, r.input.c_str(), &r.options);
    if (status != 0) return Failed(status, r);
    std::fputs("{\"file\": ", stdout);
    PrintJSONString(r.input);
    std::fputs(", \"pmts\": [", stdout);
    uint32_t listed = 0;
    // Margins are left out, as from the plain listing.
    for (uint16_t i = 0; i < report.run_count; ++i) {
        if (report.runs[i].margin) continue;
        bool seen = false;
        for (uint16_t k = 0; k < i; ++k) seen = seen || (report.runs[k].CRC_32 == report.runs[i].CRC_32 && !report.runs[k].margin);
        if (seen) continue;
        uint64_t bytes = 0, ticks = 0;
        uint32_t runs = 0;
        bool pcr = false;
        for (uint16_t k = i; k < report.run_count; ++k) {
            const TS_RunInfo& run = report.runs[k];
            if (run.CRC_32 != report.runs[i].CRC_32 || run.margin) continue;
            bytes += run.bytes;
            ++runs;
            if (run.has_pcr) pcr = true, ticks += run.pcr_ticks;
        }
        std::printf("%s\n  {\"crc32\": \"0x%08X\", \"bytes\": %llu, \"runs\": %u, \"duration\": ", listed++ ? "," : "",
                    report.runs[i].CRC_32, static_cast<unsigned long long>(bytes), runs);
        if (pcr) std::printf("%.6f}", static_cast<double>(ticks) / 27000000.0);
        else std::fputs("null}", stdout);
    }
    std::fputs(listed ? "\n]}\n" : "]}\n", stdout);
    if (listed == 0) return NoPMT(r, "");
    return cli::kOk;
}

int SplitAll(Request& r) {
    static TS_PMTSplitTable written;
    r.options.output_base = r.base.c_str();
    int32_t status = TS_PMTSplitFile(r.input.c_str(), 1, 0, nullptr, &written, &r.options);
    if (status != 0) return Failed(status, r);
    if (written.u16Count == 0) {
        if (r.options.program_number != 0 || r.options.margins_found != 0) return NoPMT(r, "; nothing written");
        std::fprintf(stderr, "Error: No PMT found in %s; nothing written.\n", r.input.c_str());
        return cli::kFailed;
    }
    return cli::kOk;
}

// Every run into a file of its own.
int SplitRuns(Request& r) {
    static TS_PMTSplitTable written;
    r.options.output_base = r.base.c_str();
    int32_t status = TS_PMTSplitRuns(r.input.c_str(), &written, &r.options);
    if (status != 0) return Failed(status, r);
    if (written.u16Count == 0) {
        if (r.options.program_number != 0 || r.options.margins_found != 0) return NoPMT(r, "; nothing written");
        std::fprintf(stderr, "Error: No PMT found in %s; nothing written.\n", r.input.c_str());
        return cli::kFailed;
    }
    return cli::kOk;
}

int SplitCRC(Request& r, uint32_t crc, const char* output) {
    static TS_PMTSplitTable written;
    r.options.output_base = r.base.c_str();
    int32_t status = TS_PMTSplitFile(r.input.c_str(), 0, crc, output, &written, &r.options);
    if (status != 0) return Failed(status, r);
    if (written.u16Count == 0) {
        if (r.options.margins_found != 0)
            std::fprintf(stderr, "Error: No PMT with CRC32 0x%08X in %s outside the runs left out as margins; nothing written.\n",
                         crc, r.input.c_str());
        else
            std::fprintf(stderr, "Error: No PMT with CRC32 0x%08X in %s; nothing written.\n", crc, r.input.c_str());
        return cli::kFailed;
    }
    return cli::kOk;
}

// The largest PMT of an input that cannot be read twice: every PMT into a hidden file beside
// the output, then the largest kept under its name and the others removed.
int SplitLargestInOnePass(Request& r, const std::string& output) {
    static TS_PMTSplitTable written;
    const size_t slash = output.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : output.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? output : output.substr(slash + 1);
    const std::string temp = dir + "." + name + "." + std::to_string(::getpid());
    r.options.output_base = temp.c_str();
    const int32_t status = TS_PMTSplitFile(r.input.c_str(), 1, 0, nullptr, &written, &r.options);
    int32_t chosen = -1;
    for (uint16_t i = 0; i < written.u16Count; ++i)
        if (chosen < 0 || written.ltEntry[i].u64Size > written.ltEntry[chosen].u64Size) chosen = i;
    bool kept = false;
    for (uint16_t i = 0; i < written.u16Count; ++i) {
        char piece[64];
        std::snprintf(piece, sizeof piece, "_%08X.ts", written.ltEntry[i].u32CRC32);
        const std::string path = temp + piece;
        if (status == 0 && static_cast<int32_t>(i) == chosen) {
            if (std::rename(path.c_str(), output.c_str()) == 0) {
                kept = true;
                continue;
            }
            std::fprintf(stderr, "%s: %s: %s\n", kProgram, output.c_str(), std::strerror(errno));
        }
        std::remove(path.c_str());
    }
    if (status != 0) return Failed(status, r);
    if (chosen < 0) {
        std::fprintf(stderr, "Error: No PMT found in %s; nothing written.\n", r.input.c_str());
        return cli::kFailed;
    }
    return kept ? cli::kOk : cli::kFailed;
}

int SplitLargest(Request& r) {
    if (r.base.size() + 5 >= sizeof g_strString1) {
        std::fprintf(stderr, "Error: Failed open %s (name too long).\n", r.input.c_str());
        return cli::kFailed;
    }
    std::snprintf(g_strString1, sizeof g_strString1, "%s_L.ts", r.base.c_str());
    if (cli::IsStreamInput(r.input)) return SplitLargestInOnePass(r, g_strString1);

    // A file is surveyed first, then split: the two reads must find the same input.
    static TS_PMTSplitTable table;
    TS_SetProgressPass(1, 2);
    int32_t status = TS_CheckPMTSplit(&table, r.input.c_str(), &r.options);
    TS_SetProgressPass(0, 0);
    if (status != 0) return Failed(status, r);
    const uint64_t surveyed = TS_LastInputBytes();
    // Of equal totals, the PMT listed first wins.
    int32_t chosen = -1;
    for (uint16_t i = 0; i < table.u16Count; ++i)
        if (chosen < 0 || table.ltEntry[i].u64Size > table.ltEntry[chosen].u64Size) chosen = i;
    if (chosen < 0) {
        std::fprintf(stderr, "Error: No PMT found in %s; nothing written.\n", r.input.c_str());
        return cli::kFailed;
    }
    TS_SetProgressPass(2, 2);
    const int result = SplitCRC(r, table.ltEntry[chosen].u32CRC32, g_strString1);
    TS_SetProgressPass(0, 0);
    if (result == cli::kOk && TS_LastInputBytes() != surveyed) {
        std::fprintf(stderr, "%s: %s: the input changed while it was read (%llu bytes, then %llu); %s removed.\n", kProgram,
                     r.input.c_str(), static_cast<unsigned long long>(surveyed),
                     static_cast<unsigned long long>(TS_LastInputBytes()), g_strString1);
        std::remove(g_strString1);
        return cli::kFailed;
    }
    return result;
}

int Run(int argc, char** argv) {
    std::vector<cli::Option> options = {{"all", 'a', false, kAll},
                                        {"largest", 'l', false, kLargest},
                                        {"output-dir", 'o', true, kOutputDir},
                                        {"program", 0, true, kProgramNumber},
                                        {"keep-si", 0, false, kKeepSI},
                                        {"json", 0, false, kJSON},
                                        {"verbose", 'v', false, kVerbose},
                                        {"each-run", 'r', false, kEachRun},
                                        {"min-run", 0, true, kMinRun}};
    cli::CommonOptions(options);
    cli::Parsed p;
    int status = 0;
    if (!cli::Parse(kProgram, argc, argv, options, &p, &status)) return status;
    if (p.Has(cli::kHelp)) {
        PrintUsage();
        PrintOptions();
        return cli::FinishOutput(kProgram, cli::kOk);
    }
    if (p.Has(cli::kVersion)) return cli::PrintVersion(kProgram);
    if (p.operands.empty()) return cli::UsageError(kProgram, "no input file");
    if (p.operands.size() > 3) return cli::UsageError(kProgram, "too many arguments: '" + p.operands[3] + "'");
    const bool all = p.Has(kAll), largest = p.Has(kLargest), crc_given = p.operands.size() > 1;
    uint32_t crc = 0;
    if (crc_given && !ParseCRC(p.operands[1].c_str(), &crc)) {
        std::fputs("Error: invalid PMT CRC32.\n", stderr);
        return kInvalidCRC;
    }
    const bool each_run = p.Has(kEachRun);
    if (all && largest) return cli::UsageError(kProgram, "-a and -l do not go together");
    if (each_run && (all || largest)) return cli::UsageError(kProgram, std::string("-r and ") + (all ? "-a" : "-l") + " do not go together");
    if ((all || largest || each_run) && crc_given)
        return cli::UsageError(kProgram, std::string(all ? "-a" : largest ? "-l" : "-r") + " does not go with a PMT CRC32");
    const bool listing = !all && !largest && !crc_given && !each_run;
    if ((p.Has(kJSON) || p.Has(kVerbose)) && !listing)
        return cli::UsageError(kProgram, std::string(p.Has(kJSON) ? "--json" : "-v") + " goes with the listing only");

    Request r;
    r.input = p.operands[0];
    r.verbose = p.Has(kVerbose);
    r.options.keep_si = p.Has(kKeepSI) ? 1 : 0;
    if (const std::string* n = p.Value(kProgramNumber)) {
        unsigned long number = 0;
        if (!cli::ParseNumber(*n, 0xFFFF, &number))
            return cli::UsageError(kProgram, "--program needs a program_number from 1 to 65535: '" + *n + "'");
        r.options.program_number = static_cast<uint16_t>(number);
    }
    if (const std::string* m = p.Value(kMinRun)) {
        if (!cli::ParseSeconds(*m, &r.options.min_run_ticks))
            return cli::UsageError(kProgram, "--min-run needs a number of seconds, 0 or more: '" + *m + "'");
        r.options.margins = 1;
        r.min_run = *m;
        // A margin is known only once it is written: it must be taken back from a file.
        if (p.operands.size() == 3 && p.operands[2] == "-")
            return cli::UsageError(kProgram, "--min-run does not go with standard output as the output");
    }
    r.base = cli::OutputBase(r.input, p.Value(kOutputDir));
    if (r.base.empty()) {
        std::fprintf(stderr, "Error: Failed open %s (name too long).\n", r.input.c_str());
        return cli::kFailed;
    }

    cli::ApplyProgress(p);
    int result;
    if (all) result = SplitAll(r);
    else if (each_run) result = SplitRuns(r);
    else if (largest) result = SplitLargest(r);
    else if (crc_given) result = SplitCRC(r, crc, p.operands.size() == 3 ? p.operands[2].c_str() : nullptr);
    else if (p.Has(kJSON)) result = ListJSON(r);
    else result = List(r);
    TS_ReportDamage(kProgram, r.input == "-" ? "standard input" : r.input.c_str());
    return cli::FinishOutput(kProgram, result);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage();
        return cli::FinishOutput(kProgram, 0);
    }
    return Run(argc, argv);
}
