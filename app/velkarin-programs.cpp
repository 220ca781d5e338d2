// velkarin-programs: the programs of a transport stream file: list them, split every one
// into a file of its own, or copy one, chosen by its PMT PID, into a named file.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "programs/program_split.h"

namespace {

constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 1;
constexpr int kStatusUsage = 2;

void PrintUsage(FILE* out) {
    std::fputs(
        "Usage: velkarin-programs FILE                  list the programs of FILE\n"
        "       velkarin-programs FILE -a               split every program into a file of its own\n"
        "       velkarin-programs FILE PMT_PID OUTPUT   copy one program into OUTPUT\n"
        "       velkarin-programs -h | --help           show this text\n"
        "\n"
        "The list gives one line per program of the PAT: program_number=N pmt_pid=0xPPPP.\n"
        "-a writes FILE's base name + _PROGRAM_DUPLICATE_GENERATION.ts beside FILE, each with\n"
        "a PAT of its own program, and prints the names of the files written.\n"
        "PMT_PID is decimal, or hexadecimal after 0x.\n",
        out);
}

int UsageError() {
    PrintUsage(stderr);
    return kStatusUsage;
}

// A PID: decimal, or hexadecimal after 0x, at most 0x1FFF.
bool ParsePID(const char* text, uint16_t* pid) {
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0') return false;
    unsigned long value = 0;
    for (const char* c = text; *c; ++c) {
        int digit;
        if (*c >= '0' && *c <= '9') digit = *c - '0';
        else if (base == 16 && *c >= 'a' && *c <= 'f') digit = *c - 'a' + 10;
        else if (base == 16 && *c >= 'A' && *c <= 'F') digit = *c - 'A' + 10;
        else return false;
        value = value * static_cast<unsigned long>(base) + static_cast<unsigned long>(digit);
        if (value > 0x1FFF) return false;
    }
    *pid = static_cast<uint16_t>(value);
    return true;
}

// The library has reported its own failures on standard error.
int StatusOf(int32_t result) { return result == 0 ? kStatusOk : kStatusFailed; }

int List(const char* file) {
    TS_ProgramList list{};
    int32_t r = TS_GetProgramList(&list, file);
    if (r != 0) return StatusOf(r);
    if (list.u16ProgramCount == 0) {
        std::fprintf(stderr, "Error: no program found in %s.\n", file);
        return kStatusFailed;
    }
    for (uint32_t i = 0; i < list.u16ProgramCount; ++i)
        std::printf("program_number=%u pmt_pid=0x%04X\n", list.lu16ProgramNumber[i],
                    list.lu16PMTPID[i]);
    return kStatusOk;
}

// The names of the files opened, in the order they were created; printed once the split is
// over.
using Names = std::vector<std::string>;

void OnOpened(void* context, const char* name) { static_cast<Names*>(context)->emplace_back(name); }

int SplitAll(const char* file) {
    Names names;
    int32_t r = TS_ProgramSplitFile(file, &OnOpened, &names);
    // After a failure, files completed before it stay on disk and are named; the others were
    // removed.
    for (const std::string& name : names)
        if (!TS_OutputNotWritten(name.c_str())) std::printf("%s\n", name.c_str());
    if ((r == 0 || r == TS_READ_FAILED) && names.empty()) {
        std::fprintf(stderr, "Error: no program of %s had an intact PMT; nothing written.\n", file);
        return kStatusFailed;
    }
    return StatusOf(r);
}

void OnStreamOpened(void* context, const char*) { *static_cast<bool*>(context) = true; }

int SplitOne(const char* file, uint16_t pid, const char* output) {
    bool opened = false;
    int32_t r = TS_ProgramSplitStream(output, file, pid, &OnStreamOpened, &opened);
    if (r == 0 && !opened) {
        std::fprintf(stderr, "Error: no program with an intact PMT on PMT PID 0x%04X in %s; nothing written.\n", pid,
                     file);
        return kStatusFailed;
    }
    return StatusOf(r);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            PrintUsage(stdout);
            return kStatusOk;
        }
    }
    TS_SetProgress(true);  // shown only when standard error is a terminal
    int status;
    if (argc == 2) {
        status = List(argv[1]);
    } else if (argc == 3) {
        if (std::strcmp(argv[2], "-a") != 0) return UsageError();
        status = SplitAll(argv[1]);
    } else if (argc == 4) {
        uint16_t pid = 0;
        if (!ParsePID(argv[2], &pid)) return UsageError();
        status = SplitOne(argv[1], pid, argv[3]);
    } else {
        return UsageError();
    }
    TS_ReportDamage("velkarin-programs", argv[1]);
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "Error: Failed write standard output (%s).\n", std::strerror(errno));
        return kStatusFailed;
    }
    return status;
}
