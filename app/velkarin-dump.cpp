// velkarin-dump: prints the packets and tables of a transport stream file as text.
//
//   velkarin-dump [OPTIONS] FILE
//
// Each option sets one print flag of TS_Print; with none it dumps the PAT, CAT, PMTs and the
// PID list. --runs prints the runs of PMTs instead (--json: as one JSON document). Exit status: 0 done, 1 the file does not open or standard output cannot be
// written, 2 wrong usage. A reader that closes the pipe ends the dump quietly (SIGPIPE).
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "dump/dump.h"
#include "pmt/pmt.h"

namespace {

constexpr int kExitOK = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

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
    "  -h, --help   show this help and exit\n"
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

int UsageError(const char* what, const char* arg) {
    std::fprintf(stderr, "velkarin-dump: %s%s%s\n", what, arg ? ": " : "", arg ? arg : "");
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

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

// Text of the last write error on standard output, or the failing flush's.
int OutputError() {
    std::fprintf(stderr, "velkarin-dump: cannot write standard output: %s\n",
                 errno != 0 ? std::strerror(errno) : "write error");
    return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe ends the dump at the next write, without a message, even when the
    // caller left SIGPIPE ignored.
    std::signal(SIGPIPE, SIG_DFL);

    uint32_t flags = 0;
    bool any_option = false;
    const char* file = nullptr;
    bool options_done = false;
    bool runs = false;
    bool json = false;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!options_done && arg[0] == '-' && arg[1] != '\0') {
            if (std::strcmp(arg, "--") == 0) {
                options_done = true;
                continue;
            }
            if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
                std::fputs(kUsage, stdout);
                return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitOK : OutputError();
            }
            if (std::strcmp(arg, "--runs") == 0 || std::strcmp(arg, "--json") == 0) {
                (arg[2] == 'r' ? runs : json) = true;
                continue;
            }
            bool known = false;
            for (const FlagOption& o : kFlagOptions) {
                if (std::strcmp(arg, o.name) == 0) {
                    flags |= o.flag;
                    known = true;
                    break;
                }
            }
            if (!known && std::strncmp(arg, "--flags", 7) == 0 &&
                (arg[7] == '\0' || arg[7] == '=')) {
                const char* value = arg[7] == '=' ? arg + 8 : (i + 1 < argc ? argv[++i] : nullptr);
                if (value == nullptr) return UsageError("--flags needs a value", nullptr);
                uint32_t mask = 0;
                if (!ParseMask(value, &mask)) return UsageError("invalid --flags value", value);
                flags |= mask;
                known = true;
            }
            if (!known) return UsageError("unknown option", arg);
            any_option = true;
            continue;
        }
        if (file != nullptr) return UsageError("more than one FILE", arg);
        file = arg;
    }
    if (file == nullptr) return UsageError("missing FILE", nullptr);
    if (json && !runs) return UsageError("--json goes with --runs", nullptr);
    if (runs && any_option) return UsageError("--runs takes no print option", nullptr);
    if (!any_option) flags = kDefaultFlags;
    // Progress on a terminal, unless the dump itself goes there.
    TS_SetProgress(!isatty(STDOUT_FILENO));

    // Whole blocks to a pipe or file rather than the default few kilobytes; a terminal
    // keeps its line buffering.
    static char out_buffer[1 << 16];
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

    if (runs) {
        static TS_RunReport report;
        const int32_t r = TS_SurveyRuns(&report, file);
        if (r == -2) return kExitFailure;
        TS_ReportDamage("velkarin-dump", file);
        if (r == TS_READ_FAILED) return kExitFailure;
        if (r == -3) {
            std::fprintf(stderr, "velkarin-dump: %s carries more than one program; only one-program streams have runs.\n",
                         file);
            return kExitFailure;
        }
        TS_PrintRuns(&report, file, json);
        errno = 0;
        return std::fflush(stdout) != 0 || std::ferror(stdout) ? OutputError() : kExitOK;
    }

    const int32_t result = TS_Print(file, flags);
    if (result == -2) {
        std::fflush(stdout);
        return kExitFailure;
    }
    TS_ReportDamage("velkarin-dump", file);
    if (result == TS_READ_FAILED) {
        std::fflush(stdout);
        return kExitFailure;
    }
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || result == TS_PRINT_OUTPUT_FAILED)
        return OutputError();
    return kExitOK;
}
