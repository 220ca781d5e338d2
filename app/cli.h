// What the three commands share on their command line: options in any position in the usual
// short and long forms, usage errors, the line that says why a file failed, standard output
// that must have been written, and where generated outputs go.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "ts.h"

namespace cli {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Option {
    const char* long_name;  // without the dashes
    char short_name;        // 0: none
    bool takes_value;
    int id;
};

struct Parsed {
    std::vector<int> ids;             // options met, in order
    std::vector<std::string> values;  // their values ("" for a flag)
    std::vector<std::string> operands;
    bool Has(int id) const {
        for (int k : ids)
            if (k == id) return true;
        return false;
    }
    const std::string* Value(int id) const {
        const std::string* last = nullptr;
        for (size_t i = 0; i < ids.size(); ++i)
            if (ids[i] == id) last = &values[i];
        return last;
    }
};

// "PROGRAM: MESSAGE" and the hint to --help, on standard error; the usage status.
inline int UsageError(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, message.c_str(), program);
    return kUsage;
}

// Options anywhere among the operands: -x, -xVALUE, -x VALUE, --long, --long=VALUE,
// --long VALUE; "--" ends the options; "-" is an operand (standard input or output).
// False after a usage error has been reported (its status in *status).
inline bool Parse(const char* program, int argc, char** argv, const std::vector<Option>& options, Parsed* out,
                  int* status) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            out->operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        const Option* found = nullptr;
        std::string value;
        bool has_value = false;
        if (arg[1] == '-') {
            const size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            for (const Option& o : options)
                if (name == o.long_name) found = &o;
            if (found == nullptr) return *status = UsageError(program, "unknown option '" + arg + "'"), false;
            if (eq != std::string::npos) {
                if (!found->takes_value)
                    return *status = UsageError(program, "option '--" + name + "' takes no value"), false;
                value = arg.substr(eq + 1);
                has_value = true;
            }
        } else {
            for (const Option& o : options)
                if (o.short_name == arg[1]) found = &o;
            if (found == nullptr) return *status = UsageError(program, "unknown option '" + arg + "'"), false;
            if (arg.size() > 2) {
                if (!found->takes_value) return *status = UsageError(program, "unknown option '" + arg + "'"), false;
                value = arg.substr(2);
                has_value = true;
            }
        }
        if (found->takes_value && !has_value) {
            if (i + 1 >= argc)
                return *status = UsageError(program, "option '" + arg + "' needs a value"), false;
            value = argv[++i];
        }
        out->ids.push_back(found->id);
        out->values.push_back(value);
    }
    return true;
}

// After a driver's own message: "PROGRAM: FILE: reason" for the failure it met, when it noted
// one.
inline void SayWhy(const char* program) {
    const char* name = nullptr;
    const int error = TS_LastFailure(&name);
    if (error == 0) return;
    const char* shown = name && std::strcmp(name, "-") == 0 ? "standard input" : name;
    std::fprintf(stderr, "%s: %s: %s\n", program, shown ? shown : "",
                 TS_FailureReason(error));
}

// Standard output flushed; a failure to write it (a full disk, a closed pipe) is said and is
// the failure status.
inline int FinishOutput(const char* program, int status) {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: standard output: %s\n", program, errno ? std::strerror(errno) : "write error");
        return kFailed;
    }
    return status;
}

// The progress options, shared: --progress forces the line on, --no-progress off.
enum { kProgressOn = 1000, kProgressOff, kHelp, kVersion };
inline void CommonOptions(std::vector<Option>& options) {
    options.push_back({"progress", 0, false, kProgressOn});
    options.push_back({"no-progress", 0, false, kProgressOff});
    options.push_back({"help", 'h', false, kHelp});
    options.push_back({"version", 0, false, kVersion});
}
inline void ApplyProgress(const Parsed& p) {
    TS_SetProgress(true);  // shown only when standard error is a terminal
    for (int id : p.ids) {
        if (id == kProgressOn) TS_SetProgressMode(TS_PROGRESS_ON);
        if (id == kProgressOff) TS_SetProgressMode(TS_PROGRESS_OFF);
    }
}
inline int PrintVersion(const char* program) {
    std::printf("%s %s\n", program, VELKARIN_VERSION);
    return FinishOutput(program, kOk);
}

// Whether `input` is standard input, a device or a FIFO: generated names are never made
// beside it.
inline bool IsStreamInput(const std::string& input) {
    if (input == "-" || input.rfind("/dev/", 0) == 0) return true;
    struct stat st;
    return ::stat(input.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// The base of generated output names: the input's name less its extension, in the output
// folder when one is given; for standard input or a device, "stdin" in the output folder or
// the current one; for another FIFO, its own name there. Empty when the name is too long.
inline std::string OutputBase(const std::string& input, const std::string* output_dir) {
    std::string name;
    if (input == "-" || input.rfind("/dev/", 0) == 0) {
        name = "stdin";
    } else {
        static char base[TS_NAME_CAPACITY];
        if (GetBaseFileName(base, input.c_str(), sizeof base) != 0) return "";
        name = base;
        if (output_dir != nullptr || IsStreamInput(input)) {
            const size_t slash = name.find_last_of('/');
            if (slash != std::string::npos) name = name.substr(slash + 1);
        } else {
            return name;
        }
    }
    const std::string dir = output_dir ? *output_dir : std::string(".");
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// An unsigned number in decimal, or hexadecimal after 0x, from 1 to `max`.
inline bool ParseNumber(const std::string& text, unsigned long max, unsigned long* out, bool allow_zero = false) {
    const char* p = text.c_str();
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) base = 16, p += 2;
    if (*p == '\0') return false;
    unsigned long v = 0;
    for (; *p; ++p) {
        int d;
        if (*p >= '0' && *p <= '9') d = *p - '0';
        else if (base == 16 && *p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
        else if (base == 16 && *p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
        else return false;
        v = v * static_cast<unsigned long>(base) + static_cast<unsigned long>(d);
        if (v > max) return false;
    }
    if (v == 0 && !allow_zero) return false;
    *out = v;
    return true;
}

// A number of seconds, 0 or more, in decimal with an optional fraction ("5", "2.5", ".5"), as
// 27 MHz ticks (rounded to the nearest). Nothing else on the argument; at most 10^9 s.
inline bool ParseSeconds(const std::string& text, uint64_t* ticks) {
    uint64_t whole = 0, fraction = 0, scale = 1;
    size_t digits = 0, i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        whole = whole * 10 + static_cast<uint64_t>(text[i] - '0');
        if (whole > 1000000000ull) return false;
    }
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
            if (scale < 100000000000ull) {  // eleven places are finer than a 27 MHz tick
                fraction = fraction * 10 + static_cast<uint64_t>(text[i] - '0');
                scale *= 10;
            }
        }
    }
    if (digits == 0 || i != text.size()) return false;
    *ticks = whole * 27000000ull + (fraction * 27000000ull + scale / 2) / scale;
    return true;
}

}  // namespace cli
