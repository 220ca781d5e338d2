// Text for standard output built in a fixed buffer and written with fwrite: the dump's
// printers format their lines here rather than through printf, whose parsing would dominate
// a dump of every packet or of every table repetition. Each call writes what the printf
// conversion named beside it writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

struct TS_Descriptor;
struct TS_Header;

namespace ts_detail {

class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() { Flush(); }

    // "%s"
    Text& S(const char* s) {
        size_t k = std::strlen(s);
        while (k > 0) {
            Room(1);
            size_t n = k < kCapacity - used_ ? k : kCapacity - used_;
            std::memcpy(buf_ + used_, s, n);
            used_ += n;
            s += n;
            k -= n;
        }
        return *this;
    }
    // "%s" of a string literal, its length known at compile time.
    template <size_t N>
    Text& L(const char (&s)[N]) {
        static_assert(N - 1 <= kCapacity);
        Room(N - 1);
        std::memcpy(buf_ + used_, s, N - 1);
        used_ += N - 1;
        return *this;
    }
    // "%d", "%lld"; with `width`, "%0<width>d" of a non-negative value.
    Text& D(int64_t v, int width = 0) {
        Room(24);
        uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (v < 0) buf_[used_++] = '-';
        for (int i = n; i < width; ++i) buf_[used_++] = '0';
        while (n > 0) buf_[used_++] = digits[--n];
        return *this;
    }
    // "%0<width>X" (upper case); width 0 gives "%X".
    Text& X(uint64_t v, int width = 0) { return Hex(v, width, kUpper); }
    // "%llx" (lower case, no leading zeros).
    Text& LowerHex(uint64_t v) { return Hex(v, 0, kLower); }

    // A byte list: "0x%02X, " per byte, "\n  " after every sixteenth, then "\n".
    Text& ByteList(const uint8_t* bytes, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            Room(9);
            char* p = buf_ + used_;
            p[0] = '0';
            p[1] = 'x';
            p[2] = kUpper[bytes[i] >> 4];
            p[3] = kUpper[bytes[i] & 0xF];
            p[4] = ',';
            p[5] = ' ';
            used_ += 6;
            if (i % 16 == 15) {
                p[6] = '\n';
                p[7] = ' ';
                p[8] = ' ';
                used_ += 3;
            }
        }
        return S("\n");
    }

    // Room for `k` bytes written straight into the buffer, then taken with Commit.
    char* Reserve(size_t k) {
        Room(k);
        return buf_ + used_;
    }
    void Commit(size_t n) { used_ += n; }

    void Flush() {
        if (used_) std::fwrite(buf_, 1, used_, stdout);
        used_ = 0;
    }

private:
    static constexpr size_t kCapacity = 4096;
    static constexpr char kUpper[] = "0123456789ABCDEF";
    static constexpr char kLower[] = "0123456789abcdef";

    void Room(size_t k) {
        if (used_ + k > kCapacity) Flush();
    }
    Text& Hex(uint64_t v, int width, const char* digits_of) {
        Room(20);
        char digits[16];
        int n = 0;
        do {
            digits[n++] = digits_of[v & 0xF];
            v >>= 4;
        } while (v != 0);
        for (int i = n; i < width; ++i) buf_[used_++] = '0';
        while (n > 0) buf_[used_++] = digits[--n];
        return *this;
    }

    char buf_[kCapacity];
    size_t used_ = 0;
};

// The text of one descriptor as TS_Descriptor_Print writes it, appended to `out`.
void AppendDescriptor(Text& out, const TS_Descriptor& d);

// The line of TS_Packet_Print (`header_only` false) or TS_Packet_PrintHeader (true):
// FormatPacketLine writes it at `out`, which has room for kPacketLineMax bytes, and returns
// its length.
constexpr size_t kPacketLineMax = 128;
size_t FormatPacketLine(char* out, const TS_Header& h, bool header_only);
void AppendPacketLine(Text& out, const TS_Header& h, bool header_only);

}  // namespace ts_detail
