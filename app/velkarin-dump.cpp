// velkarin-dump: prints the packets and tables of a transport stream file as text.
//
//   velkarin-dump [OPTIONS] FILE
//
// Each option sets one print flag of TS_Print; with none it dumps the PAT, CAT, PMTs and the
// PID list. --runs prints the runs of PMTs instead (--json: as one JSON document), --timeline
// draws them as one SVG document. Exit status: 0 done, 1 the file does not open or standard
// output cannot be written, 2 wrong usage. A reader that closes the pipe ends the dump quietly
// (SIGPIPE).
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unistd.h>

#include "cli.h"
#include "dump/dump.h"
#include "pmt/pmt.h"

namespace {

constexpr const char* kProgram = "velkarin-dump";
constexpr int kExitOK = 0;
constexpr int kExitFailure = 1;

constexpr uint32_t kDefaultFlags = TS_PRINT_PAT | TS_PRINT_CAT | TS_PRINT_PMT | TS_PRINT_PID_LIST;

constexpr char kUsage[] =
    "Usage: velkarin-dump [OPTIONS] FILE\n"
    "Print the packets and tables of an MPEG-2 transport stream file.\n"
    "\n"
    "  --packets    every packet header\n"
    "  --pat        each PAT section\n"
    "  --cat        each CAT section\n"
    "  --pmt        each PMT section\n"
    "  --private    sections on the CA_PIDs of the PMTs (ECM)\n"
    "  --emm        sections on the CA_PID of the CAT (EMM)\n"
    "  --streams    packets on the elementary-stream PIDs\n"
    "  --pids       the list of PIDs met, at the end\n"
    "  --pcr        PCRs on the PCR_PID of each program\n"
    "  --flags N    set the print mask directly (decimal or 0x hexadecimal)\n"
    "  --runs       the runs of PMTs of a one-program recording, as velkarin lists them:\n"
    "               place, size, PCR time and streams of each\n"
    "  --json       with --runs: one JSON document\n"
    "  --min-run SECONDS  with --runs or --timeline: mark the first and the last run as\n"
    "               margins when shorter than SECONDS of PCR time, as velkarin --min-run\n"
    "               leaves them out\n"
    "  --timeline   a picture of the runs, streams and damage over time, as one SVG\n"
    "               document (velkarin-dump --timeline rec.ts > rec.svg)\n"
    "  --progress   show the progress line even when standard error is not a terminal\n"
    "  --no-progress  never show it\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the version\n"
    "FILE - is standard input.\n"
    "\n"
    "With no option: --pat --cat --pmt --pids.\n";

struct FlagOption {
    const char* name;
    uint32_t flag;
};

constexpr FlagOption kFlagOptions[] = {
    {"--packets", TS_PRINT_PACKET}, {"--pat", TS_PRINT_PAT},         {"--cat", TS_PRINT_CAT},
    {"--pmt", TS_PRINT_PMT},        {"--private", TS_PRINT_PRIVATE}, {"--emm", TS_PRINT_EMM},
    {"--streams", TS_PRINT_STREAM}, {"--pids", TS_PRINT_PID_LIST},   {"--pcr", TS_PRINT_PCR},
};

// A mask in decimal or 0x hexadecimal, within 32 bits, nothing else on the argument.
bool ParseMask(const char* text, uint32_t* mask) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
        if (*text == '\0' || *text == '-' || *text == '+') return false;
    }
    for (const char* c = text; *c; ++c) {
        const bool digit = base == 10 ? (*c >= '0' && *c <= '9')
                                      : ((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f') ||
                                         (*c >= 'A' && *c <= 'F'));
        if (!digit) return false;
    }
    errno = 0;
    const unsigned long long v = std::strtoull(text, nullptr, base);
    if (errno == ERANGE || v > UINT32_MAX) return false;
    *mask = static_cast<uint32_t>(v);
    return true;
}

// Text of the last write error on standard output: the failing flush's, or the one the dump
// noted for its own write.
int OutputError() {
    const char* name = nullptr;
    const int noted = TS_LastFailure(&name);
    std::fprintf(stderr, "velkarin-dump: cannot write standard output: %s\n",
                 errno != 0 ? std::strerror(errno) : noted > 0 ? TS_FailureReason(noted) : "write error");
    return kExitFailure;
}

enum OptionId { kFlags = 100, kRuns, kJSON, kMinRun, kTimeline, kFirstFlag };

int Run(int argc, char** argv) {
    std::vector<cli::Option> options = {{"flags", 0, true, kFlags}, {"runs", 0, false, kRuns}, {"json", 0, false, kJSON},
                                        {"min-run", 0, true, kMinRun},
                                        {"timeline", 0, false, kTimeline}};
    for (const FlagOption& o : kFlagOptions)
        options.push_back({o.name + 2, 0, false, kFirstFlag + static_cast<int>(&o - kFlagOptions)});
    cli::CommonOptions(options);
    cli::Parsed p;
    int status = 0;
    if (!cli::Parse(kProgram, argc, argv, options, &p, &status)) return status;
    if (p.Has(cli::kHelp)) {
        std::fputs(kUsage, stdout);
        return cli::FinishOutput(kProgram, kExitOK);
    }
    if (p.Has(cli::kVersion)) return cli::PrintVersion(kProgram);
    if (p.operands.empty()) return cli::UsageError(kProgram, "missing FILE");
    if (p.operands.size() > 1) return cli::UsageError(kProgram, "more than one FILE: '" + p.operands[1] + "'");
    const char* file = p.operands[0].c_str();
    uint32_t flags = 0;
    bool any_option = false;
    for (size_t i = 0; i < p.ids.size(); ++i) {
        const int id = p.ids[i];
        if (id == kFlags) {
            uint32_t mask = 0;
            if (!ParseMask(p.values[i].c_str(), &mask)) return cli::UsageError(kProgram, "invalid --flags value '" + p.values[i] + "'");
            flags |= mask;
            any_option = true;
        } else if (id >= kFirstFlag && id < kFirstFlag + static_cast<int>(std::size(kFlagOptions))) {
            flags |= kFlagOptions[id - kFirstFlag].flag;
            any_option = true;
        }
    }
    const bool runs = p.Has(kRuns), json = p.Has(kJSON), timeline = p.Has(kTimeline);
    if (json && !runs) return cli::UsageError(kProgram, "--json goes with --runs");
    if (runs && any_option) return cli::UsageError(kProgram, "--runs takes no print option");
    if (timeline && (runs || any_option)) return cli::UsageError(kProgram, "--timeline takes no other report or print option");
    TS_PMTOptions walk{};
    if (const std::string* m = p.Value(kMinRun)) {
        if (!runs && !timeline) return cli::UsageError(kProgram, "--min-run goes with --runs or --timeline");
        if (!cli::ParseSeconds(*m, &walk.min_run_ticks))
            return cli::UsageError(kProgram, "--min-run needs a number of seconds, 0 or more: '" + *m + "'");
        walk.margins = 1;
    }
    if (!any_option) flags = kDefaultFlags;
    // Progress on a terminal, unless the dump itself goes there.
    TS_SetProgress(!isatty(STDOUT_FILENO));
    for (int id : p.ids) {
        if (id == cli::kProgressOn) TS_SetProgressMode(TS_PROGRESS_ON);
        if (id == cli::kProgressOff) TS_SetProgressMode(TS_PROGRESS_OFF);
    }

    // Whole blocks to a pipe or file rather than the default few kilobytes; a terminal
    // keeps its line buffering.
    static char out_buffer[1 << 16];
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    const char* shown = std::strcmp(file, "-") == 0 ? "standard input" : file;

    if (runs || timeline) {
        static TS_RunReport report;
        static TS_Timeline picture;
        const int32_t r = timeline ? TS_SurveyTimeline(&picture, &report, file, &walk) : TS_SurveyRuns(&report, file, &walk);
        if (r == -2) {
            cli::SayWhy(kProgram);
            return kExitFailure;
        }
        if (r == -3) {
            std::fprintf(stderr, "velkarin-dump: %s carries more than one program; only one-program streams have runs.\n",
                         file);
            return kExitFailure;
        }
        TS_ReportDamage(kProgram, shown);
        if (r == TS_READ_FAILED) {
            cli::SayWhy(kProgram);
            return kExitFailure;
        }
        if (timeline) TS_PrintTimeline(&picture, &report, file);
        else TS_PrintRuns(&report, file, json);
        errno = 0;
        return std::fflush(stdout) != 0 || std::ferror(stdout) ? OutputError() : kExitOK;
    }

    const int32_t result = TS_Print(file, flags);
    if (result == -2) {
        std::fflush(stdout);
        cli::SayWhy(kProgram);
        return kExitFailure;
    }
    TS_ReportDamage(kProgram, shown);
    if (result == TS_READ_FAILED) {
        std::fflush(stdout);
        cli::SayWhy(kProgram);
        return kExitFailure;
    }
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || result == TS_PRINT_OUTPUT_FAILED)
        return OutputError();
    return kExitOK;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe ends the dump at the next write, without a message, even when the
    // caller left SIGPIPE ignored.
    std::signal(SIGPIPE, SIG_DFL);
    return Run(argc, argv);
}
