// Recognition of the packet size at the start of a stream, and the per-chunk hooks of the
// packet scan.
#include "scan.h"

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
    // Look for the first offset where either stride holds over eight packets (fewer in a
    // short file, two at least for 192); the 188-byte stride wins a tie.
    const uint64_t window = n < (1u << 20) ? n : (1u << 20);
    for (uint64_t off = 0; off < window; ++off) {
        if (p[off] != TS_SYNC_BYTE) continue;
        uint64_t whole188 = (n - off) / TS_PACKET_SIZE;
        uint32_t c188 = static_cast<uint32_t>(whole188 < 8 ? whole188 : 8);
        if (c188 >= 1 && StrideHolds(p, n, off, TS_PACKET_SIZE, c188) &&
            (c188 >= 2 || off + TS_PACKET_SIZE == n))
            return TS_PACKET_SIZE;
        if (off >= 4) {
            uint64_t whole192 = (n - (off - 4)) / TS_M2TS_PACKET_SIZE;
            uint32_t c192 = static_cast<uint32_t>(whole192 < 8 ? whole192 : 8);
            if (c192 >= 2 && StrideHolds(p, n, off, TS_M2TS_PACKET_SIZE, c192))
                return TS_M2TS_PACKET_SIZE;
        }
    }
    return TS_PACKET_SIZE;
}

void ScanChunkRead(uint64_t) {}
void ScanDone() {}

}  // namespace ts_detail
