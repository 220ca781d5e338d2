// Bounded reading of untrusted bytes: every decoder reads a section or a packet through a
// ByteReader, which never forms a pointer past its window and yields zeros once exhausted.
#pragma once

#include <cstdint>
#include <cstring>

namespace ts_detail {

struct ByteReader {
    const uint8_t* data;
    uint32_t size;      // bytes in the window
    uint32_t pos = 0;   // next byte to read
    bool overrun = false;

    ByteReader(const uint8_t* d, uint32_t n) : data(d), size(n) {}

    uint32_t remaining() const { return pos <= size ? size - pos : 0; }
    bool has(uint32_t n) const { return remaining() >= n; }

    uint8_t peek(uint32_t at) const { return at < size ? data[at] : 0; }
    uint8_t u8() {
        if (pos < size) return data[pos++];
        overrun = true;
        return 0;
    }
    uint16_t u16() {
        uint16_t hi = u8();
        return static_cast<uint16_t>((hi << 8) | u8());
    }
    uint32_t u24() {
        uint32_t v = u16();
        return (v << 8) | u8();
    }
    uint32_t u32() {
        uint32_t v = u16();
        return (v << 16) | u16();
    }
    void skip(uint32_t n) {
        if (has(n)) pos += n;
        else { overrun = true; pos = size; }
    }
    // Copies up to n bytes (at most `capacity`, at most what remains) into dst and returns
    // how many were copied; the position advances by n, clamped to the window.
    uint32_t copy(uint8_t* dst, uint32_t n, uint32_t capacity) {
        uint32_t k = n;
        if (k > capacity) k = capacity;
        if (k > remaining()) k = remaining();
        if (k) std::memcpy(dst, data + pos, k);
        skip(n);
        return k;
    }
    // A reader over the next n bytes (clamped to the window); this one advances past them.
    ByteReader sub(uint32_t n) {
        uint32_t k = n < remaining() ? n : remaining();
        ByteReader r(data + pos, k);
        skip(n);
        return r;
    }
};

}  // namespace ts_detail
