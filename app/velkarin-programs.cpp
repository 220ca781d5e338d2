// velkarin-programs: the programs of a transport stream file: list them, split every one
// into a file of its own, or copy one, chosen by its PMT PID, into a named file.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "programs/program_split.h"

namespace {

constexpr const char* kProgram = "velkarin-programs";

void PrintUsage() {
    std::fputs(
        "Usage: velkarin-programs [OPTIONS] FILE                  list the programs of FILE\n"
        "       velkarin-programs [OPTIONS] FILE -a               split every program into a file of its own\n"
        "       velkarin-programs [OPTIONS] FILE PMT_PID OUTPUT   copy one program into OUTPUT\n"
        "       velkarin-programs -h | --help                     show this text\n"
        "\n"
        "The list gives one line per program of the PAT: program_number=N pmt_pid=0xPPPP.\n"
        "-a writes FILE's base name + _PROGRAM_DUPLICATE_GENERATION.ts beside FILE, each with\n"
        "a PAT of its own program, and prints the names of the files written.\n"
        "PMT_PID is decimal, or hexadecimal after 0x. FILE - is standard input, OUTPUT - standard output.\n"
        "\n"
        "Options, in any position:\n"
        "  -a, --all              every program into a file of its own\n"
        "  -o, --output-dir DIR   make the generated names in DIR\n"
        "      --keep-si          keep the service-information PIDs (NIT, SDT, EIT, TDT...) in every file\n"
        "      --progress         show the progress line even when standard error is not a terminal\n"
        "      --no-progress      never show it\n"
        "  -h, --help             show this text\n"
        "      --version          show the version\n",
        stdout);
}

enum OptionId { kAll, kOutputDir, kKeepSI };

int StatusOf(int32_t result) {
    if (result == 0) return cli::kOk;
    cli::SayWhy(kProgram);
    return cli::kFailed;
}

int List(const char* file) {
    TS_ProgramList list{};
    int32_t r = TS_GetProgramList(&list, file);
    if (r != 0) return StatusOf(r);
    if (list.u16ProgramCount == 0) {
        std::fprintf(stderr, "Error: no program found in %s.\n", file);
        return cli::kFailed;
    }
    for (uint32_t i = 0; i < list.u16ProgramCount; ++i)
        std::printf("program_number=%u pmt_pid=0x%04X\n", list.lu16ProgramNumber[i], list.lu16PMTPID[i]);
    return cli::kOk;
}

// The names of the files opened, in the order they were created; printed once the split is
// over.
using Names = std::vector<std::string>;

void OnOpened(void* context, const char* name) { static_cast<Names*>(context)->emplace_back(name); }

int SplitAll(const char* file, const TS_ProgramSplitOptions& options) {
    Names names;
    int32_t r = TS_ProgramSplitFile(file, &OnOpened, &names, &options);
    // After a failure, files completed before it stay on disk and are named; the others were
    // removed.
    for (const std::string& name : names)
        if (!TS_OutputNotWritten(name.c_str())) std::printf("%s\n", name.c_str());
    if ((r == 0 || r == TS_READ_FAILED) && names.empty()) {
        std::fprintf(stderr, "Error: no program of %s had an intact PMT; nothing written.\n", file);
        return cli::kFailed;
    }
    return StatusOf(r);
}

void OnStreamOpened(void* context, const char*) { *static_cast<bool*>(context) = true; }

int SplitOne(const char* file, uint16_t pid, const char* output, const TS_ProgramSplitOptions& options) {
    bool opened = false;
    int32_t r = TS_ProgramSplitStream(output, file, pid, &OnStreamOpened, &opened, &options);
    if (r == 0 && !opened) {
        std::fprintf(stderr, "Error: no program with an intact PMT on PMT PID 0x%04X in %s; nothing written.\n", pid,
                     file);
        return cli::kFailed;
    }
    return StatusOf(r);
}

int Run(int argc, char** argv) {
    std::vector<cli::Option> options = {
        {"all", 'a', false, kAll}, {"output-dir", 'o', true, kOutputDir}, {"keep-si", 0, false, kKeepSI}};
    cli::CommonOptions(options);
    cli::Parsed p;
    int status = 0;
    if (!cli::Parse(kProgram, argc, argv, options, &p, &status)) return status;
    if (p.Has(cli::kHelp)) {
        PrintUsage();
        return cli::FinishOutput(kProgram, cli::kOk);
    }
    if (p.Has(cli::kVersion)) return cli::PrintVersion(kProgram);
    if (p.operands.empty()) return cli::UsageError(kProgram, "no input file");
    const bool all = p.Has(kAll);
    if (p.operands.size() == 2 || p.operands.size() > 3 || (all && p.operands.size() != 1))
        return cli::UsageError(kProgram, all ? "-a takes the input file alone" : "PMT_PID and OUTPUT go together");
    uint16_t pid = 0;
    if (p.operands.size() == 3) {
        unsigned long value = 0;
        if (!cli::ParseNumber(p.operands[1], 0x1FFF, &value, true))
            return cli::UsageError(kProgram, "invalid PMT PID '" + p.operands[1] + "'");
        pid = static_cast<uint16_t>(value);
    }
    const std::string& file = p.operands[0];
    const std::string base = cli::OutputBase(file, p.Value(kOutputDir));
    TS_ProgramSplitOptions split{};
    split.keep_si = p.Has(kKeepSI) ? 1 : 0;
    split.output_base = base.empty() ? nullptr : base.c_str();
    cli::ApplyProgress(p);
    int result;
    if (all) result = SplitAll(file.c_str(), split);
    else if (p.operands.size() == 3) result = SplitOne(file.c_str(), pid, p.operands[2].c_str(), split);
    else result = List(file.c_str());
    TS_ReportDamage(kProgram, file == "-" ? "standard input" : file.c_str());
    return cli::FinishOutput(kProgram, result);
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
