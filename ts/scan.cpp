// Recognition of the packet size at the start of a stream, and the per-chunk hooks of the
// packet scan.
#include "scan.h"

#include <cstdio>
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
    // 188 wherever its stride holds over eight packets (fewer in a short file) anywhere at the
    // start, so that junk in front of a 188-byte stream that happens to show the 192 pattern
    // never wins; 192 only when its stride holds and the 188 one holds nowhere. Fewer than
    // eight count only when the bytes at hand cannot hold more: near their end in a longer
    // stream, two stray 0x47 188 bytes apart are common in 192-byte units.
    const uint64_t window = n < (1u << 20) ? n : (1u << 20);
    const bool short_file = n < 9u * TS_PACKET_SIZE;
    bool m2ts = false;
    for (uint64_t off = 0; off < window; ++off) {
        if (p[off] != TS_SYNC_BYTE) continue;
        uint64_t whole188 = (n - off) / TS_PACKET_SIZE;
        uint32_t c188 = static_cast<uint32_t>(whole188 < 8 ? whole188 : 8);
        if ((c188 == 8 || (short_file && c188 >= 2)) && StrideHolds(p, n, off, TS_PACKET_SIZE, c188))
            return TS_PACKET_SIZE;
        if (!m2ts && off >= 4) {
            uint64_t whole192 = (n - (off - 4)) / TS_M2TS_PACKET_SIZE;
            uint32_t c192 = static_cast<uint32_t>(whole192 < 8 ? whole192 : 8);
            m2ts = (c192 == 8 || (short_file && c192 >= 2)) && StrideHolds(p, n, off, TS_M2TS_PACKET_SIZE, c192);
        }
    }
    return m2ts ? TS_M2TS_PACKET_SIZE : TS_PACKET_SIZE;
}

namespace {

struct Progress {
    bool enabled = false;
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

void ScanBegin(int fd) {
    Progress& p = g_progress;
    p.active = p.enabled && isatty(STDERR_FILENO);
    if (!p.active) return;
    struct stat st;
    p.size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    p.start = Now();
    p.last = -1;
    p.shown = false;
}

void ScanChunkRead(uint64_t bytes_read) {
    Progress& p = g_progress;
    if (!p.active) return;
    double now = Now();
    if (p.shown && now - p.last < 0.25) return;
    p.last = now;
    double elapsed = now - p.start;
    double speed = elapsed > 0 ? static_cast<double>(bytes_read) / 1048576.0 / elapsed : 0;
    if (p.size)
        std::fprintf(stderr, "\r%3u%% %.1f MiB/s", static_cast<unsigned>(bytes_read * 100 / p.size), speed);
    else
        std::fprintf(stderr, "\r%llu MiB %.1f MiB/s", static_cast<unsigned long long>(bytes_read >> 20), speed);
    std::fflush(stderr);
    p.shown = true;
}

void ScanDone() {
    Progress& p = g_progress;
    if (p.active && p.shown) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    p.active = p.shown = false;
}

}  // namespace ts_detail

void TS_SetProgress(bool enabled) { ts_detail::g_progress.enabled = enabled; }
