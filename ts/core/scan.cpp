// Recognition of the packet size at the start of a stream, and the per-chunk hooks of the
// packet scan.
#include "core/report.h"
#include "core/output.h"
#include "core/scan.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace ts_detail {

// True when 0x47 repeats every `stride` bytes from `first` over `count` packets.
static bool StrideHolds(const uint8_t* p, uint64_t n, uint64_t first, uint32_t stride, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k) {
        uint64_t at = first + uint64_t{k} * stride;
        if (at >= n || p[at] != TS_SYNC_BYTE) return false;
    }
    return true;
}

uint32_t DetectUnitSize(const uint8_t* p, uint64_t n) {
    // 188 wherever its stride holds over eight packets (fewer in a short input) anywhere at
    // the start, so that junk in front of a 188-byte stream that happens to show another
    // pattern never wins; 192 or 204 only when its stride holds and the 188 one holds nowhere.
    // Fewer than eight count only when the bytes at hand cannot hold more: near their end in
    // a longer stream, two stray 0x47 188 bytes apart are common in other units.
    const uint64_t window = n < (1u << 20) ? n : (1u << 20);
    const bool short_input = n < 9u * TS_RS_PACKET_SIZE;
    auto holds = [&](uint64_t sync, uint32_t unit) {
        const uint64_t first = sync - TS_UnitLead(unit);  // where the unit starts
        const uint64_t whole = (n - first) / unit;
        const uint32_t count = static_cast<uint32_t>(whole < 8 ? whole : 8);
        return (count == 8 || (short_input && count >= 2)) && StrideHolds(p, n, sync, unit, count);
    };
    uint32_t other = 0;
    for (uint64_t off = 0; off < window; ++off) {
        if (p[off] != TS_SYNC_BYTE) continue;
        if (holds(off, TS_PACKET_SIZE)) return TS_PACKET_SIZE;
        if (other == 0 && off >= 4 && holds(off, TS_M2TS_PACKET_SIZE)) other = TS_M2TS_PACKET_SIZE;
        if (other == 0 && holds(off, TS_RS_PACKET_SIZE)) other = TS_RS_PACKET_SIZE;
    }
    return other ? other : TS_PACKET_SIZE;
}

ScanPositionFunction g_pScanPosition = nullptr;
void SetScanPositionFunction(ScanPositionFunction function) { g_pScanPosition = function; }

TS_Damage g_tDamage;
uint8_t g_lu8LastCC[8192];

namespace {

struct Progress {
    bool enabled = false;
    TS_ProgressMode mode = TS_PROGRESS_AUTO;
    uint32_t pass = 0, passes = 0;
    uint64_t bytes = 0;   // read by the scan in progress or the last one
    bool tty = false;     // standard error is a terminal: the line is rewritten in place
    bool active = false;  // a scan is showing its line
    bool shown = false;   // the line is on the terminal
    uint64_t size = 0;    // bytes in the input, 0 when unknown (a pipe)
    double start = 0, last = 0;
} g_progress;

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

namespace {
const char* g_pScanName = "";
// PIDs already warned about, per limit (each limit is one of the library's constant texts).
constexpr uint32_t kLimits = 8;
const char* g_lpLimit[kLimits];
uint8_t g_lu8CapacityNoted[kLimits][8192 / 8];
}  // namespace

void NoteCapacity(const char* table, uint16_t pid, const char* limit) {
    uint32_t k = 0;
    while (k < kLimits && g_lpLimit[k] != nullptr && g_lpLimit[k] != limit) ++k;
    if (k == kLimits) k = kLimits - 1;
    g_lpLimit[k] = limit;
    uint8_t& byte = g_lu8CapacityNoted[k][(pid & 0x1FFF) / 8];
    const uint8_t bit = static_cast<uint8_t>(1u << (pid % 8));
    if (byte & bit) return;
    byte |= bit;
    Report("Warning: the %s on PID 0x%04X of %s holds more than %s; the rest is not kept.\n", table,
                 pid, g_pScanName, limit);
}

void ScanBegin(int fd, const char* name) {
    g_pScanName = name ? name : "";
    std::memset(g_lu8CapacityNoted, 0, sizeof g_lu8CapacityNoted);
    std::memset(g_lpLimit, 0, sizeof g_lpLimit);
    std::memset(&g_tDamage, 0, sizeof g_tDamage);
    std::memset(g_lu8LastCC, 0xFF, sizeof g_lu8LastCC);
    Progress& p = g_progress;
    p.bytes = 0;
    p.tty = isatty(STDERR_FILENO);
    p.active = p.mode == TS_PROGRESS_ON || (p.mode == TS_PROGRESS_AUTO && p.enabled && p.tty);
    if (!p.active) return;
    struct stat st;
    p.size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    p.start = Now();
    p.last = -1;
    p.shown = false;
}

void ScanChunkRead(uint64_t bytes_read) {
    Progress& p = g_progress;
    p.bytes = bytes_read;
    if (!p.active) return;
    double now = Now();
    if (p.shown && now - p.last < (p.tty ? 0.25 : 1.0)) return;
    p.last = now;
    double elapsed = now - p.start;
    double speed = elapsed > 0 ? static_cast<double>(bytes_read) / 1048576.0 / elapsed : 0;
    char line[160];
    int n = 0;
    if (p.passes > 1) n += std::snprintf(line + n, sizeof line - n, "pass %u of %u: ", p.pass, p.passes);
    if (p.size) {
        n += std::snprintf(line + n, sizeof line - n, "%3u%% %.1f MiB/s",
                           static_cast<unsigned>(bytes_read * 100 / p.size), speed);
        // The time left, once half a second of reading gives a speed to go by.
        if (elapsed >= 0.5 && bytes_read < p.size && speed > 0)
            n += std::snprintf(line + n, sizeof line - n, ", %.0f s left",
                               static_cast<double>(p.size - bytes_read) / 1048576.0 / speed);
    } else {
        n += std::snprintf(line + n, sizeof line - n, "%llu MiB %.1f MiB/s",
                           static_cast<unsigned long long>(bytes_read >> 20), speed);
    }
    // A terminal sees one line rewritten; anything else, a line a second.
    std::fprintf(stderr, p.tty ? "\r%s\033[K" : "%s\n", line);
    std::fflush(stderr);
    p.shown = true;
}

void ScanDone() {
    Progress& p = g_progress;
    if (p.active && p.shown && p.tty) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    p.active = p.shown = false;
}

}  // namespace ts_detail

void TS_SetProgress(bool enabled) { ts_detail::g_progress.enabled = enabled; }
void TS_SetProgressMode(TS_ProgressMode mode) { ts_detail::g_progress.mode = mode; }
void TS_SetProgressPass(uint32_t pass, uint32_t passes) {
    ts_detail::g_progress.pass = pass;
    ts_detail::g_progress.passes = passes;
}
uint64_t TS_LastInputBytes() { return ts_detail::g_progress.bytes; }
