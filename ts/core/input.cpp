// Opening, mapping and closing the input, and the guard against a mapped file shrinking.
#include "core/input.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/output.h"
#include "core/report.h"

namespace ts_detail {

MappedInput g_tMappedInput;

namespace {

ReadFunction g_pRead = nullptr;

}  // namespace

void SetReadFunction(ReadFunction function) { g_pRead = function; }

ssize_t ReadInput(int fd, void* buffer, size_t length) {
    for (;;) {
        errno = 0;
        const ssize_t got = g_pRead ? g_pRead(fd, buffer, length) : ::read(fd, buffer, length);
        if (got >= 0 || errno != EINTR) return got;
    }
}

sigjmp_buf g_tShrankJump;

int32_t OpenInput(InputFile* input, const char* name) {
    input->standard = std::strcmp(name, "-") == 0;
    input->name = name;
    input->map = nullptr;
    input->map_size = 0;
    g_tMappedInput = {};
    input->fd = input->standard ? STDIN_FILENO : ::open(name, O_RDONLY | O_CLOEXEC);
    struct stat st;
    int error = input->fd < 0 ? errno : 0;
    if (error == 0 && ::fstat(input->fd, &st) != 0) error = errno;
    if (error == 0 && S_ISDIR(st.st_mode)) error = EISDIR;
    if (error != 0) {
        if (input->fd >= 0 && !input->standard) ::close(input->fd);
        input->fd = -1;
        Report("Error: Failed open %s.\n", name);
        NoteFailure(name, error);
        return -2;
    }
    input->dev = st.st_dev;
    input->ino = st.st_ino;
    input->regular = S_ISREG(st.st_mode);
    // Standard input is read from where it stands, as a pipe would be.
    if (input->regular && !input->standard && st.st_size > 0 && g_pRead == nullptr &&
        static_cast<uint64_t>(st.st_size) <= SIZE_MAX) {
        void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, input->fd, 0);
        if (map != MAP_FAILED) {
            ::madvise(map, static_cast<size_t>(st.st_size), MADV_SEQUENTIAL);
            input->map = static_cast<const uint8_t*>(map);
            input->map_size = static_cast<uint64_t>(st.st_size);
            g_tMappedInput = {input->map, input->map + input->map_size, name};
        }
    }
    return 0;
}

void CloseInput(InputFile* input) {
    if (input->map) {
        FlushMappedInput();
        ::munmap(const_cast<uint8_t*>(input->map), static_cast<size_t>(input->map_size));
        if (g_tMappedInput.begin == input->map) g_tMappedInput = {};
        input->map = nullptr;
        input->map_size = 0;
    }
    if (input->fd >= 0 && !input->standard) ::close(input->fd);
    input->fd = -1;
}

void ReportReadFailure(const char* name, int error) {
    Report("Error: Failed read %s (%s).\n", name ? name : "input", TS_FailureReason(error));
    NoteFailure(name, error);
}

void ReportInputShrank() {
    if (g_tMappedInput.shrank_reported) return;
    g_tMappedInput.shrank_reported = true;
    ReportReadFailure(g_tMappedInput.name, TS_FAILURE_INPUT_SHRANK);
}

bool InputShrank(const InputFile& input) {
    struct stat st;
    return input.map && ::fstat(input.fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < input.map_size;
}

uint64_t ReleaseMapped(const uint8_t* map, uint64_t map_size, uint64_t from, uint64_t to) {
    static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    if (to > map_size) to = map_size;
    to -= to % page;
    if (map == nullptr || to <= from) return from;
    FlushMappedBefore(map + to);  // so that no write comes back to the pages let go
    ::madvise(const_cast<uint8_t*>(map + from), static_cast<size_t>(to - from), MADV_DONTNEED);
    return to;
}

namespace {

struct Guard {
    const uint8_t* begin = nullptr;
    const uint8_t* end = nullptr;
    volatile sig_atomic_t active = 0;
    struct sigaction previous;
} g_tGuard;

void OnBusError(int sig, siginfo_t* info, void* context) {
    const auto* at = static_cast<const uint8_t*>(info->si_addr);
    if (g_tGuard.active && at >= g_tGuard.begin && at < g_tGuard.end) {
        g_tGuard.active = 0;
        siglongjmp(g_tShrankJump, 1);
    }
    // Not the mapping: the fault is handled as it would have been without the guard.
    ::sigaction(SIGBUS, &g_tGuard.previous, nullptr);
    (void)sig;
    (void)context;
}

}  // namespace

void GuardMapping(const InputFile& input) {
    g_tGuard.begin = input.map;
    g_tGuard.end = input.map + input.map_size;
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_tGuard.previous);
    g_tGuard.active = 1;
}

void UnguardMapping() {
    g_tGuard.active = 0;
    ::sigaction(SIGBUS, &g_tGuard.previous, nullptr);
}

}  // namespace ts_detail
