// The packet scan shared by every driver: the input is read in chunks straight into the
// container's stream buffer behind the unconsumed tail, and handed out one packet unit at a
// time by one synchronisation rule. Units of 192 bytes (a 4-byte header before each 188-byte
// packet) and of 204 bytes (a 16-byte trailer after it) are recognised from the start of the
// input; the damage met on the way is counted.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/types.h>

#include "core/core.h"
#include "core/header.h"
#include "core/input.h"

namespace ts_detail {

// One packet as the scan hands it to a driver.
struct ScanPacket {
    const uint8_t* unit;      // the packet as stored: 188, 192 or 204 bytes
    uint32_t unit_size;       // 188, 192 or 204
    const uint8_t* bytes;     // the 188-byte transport packet (unit + TS_UnitLead)
    TS_Header header;         // decoded header of `bytes`
    uint64_t index;           // packets handed out before this one
    uint64_t byte_offset;     // offset of `unit` in the input
};

// Bytes read at a time: small enough that the bytes just read are still in the processor's
// cache when the scan walks them, which matters more than the number of reads.
inline constexpr uint64_t kScanChunk = 256 * 1024;
// Bytes the packet size is decided on (fewer only when the input is shorter), however few
// the first read of a pipe returns.
inline constexpr uint64_t kDetectBytes = 256 * 1024;
// How far behind the scan the pages of a mapped input are let go: far enough that the
// outputs still hold none of them for their next write.
inline constexpr uint64_t kMappedLag = 16u << 20;
inline constexpr uint64_t kMappedRelease = 4u << 20;  // let go at a time

// Packet unit of a stream whose first `n` bytes are `p`: 188 wherever its stride holds over
// eight packets (fewer in a short input); else 192 or 204 where theirs holds; else 188.
uint32_t DetectUnitSize(const uint8_t* p, uint64_t n);

// Progress display and damage bookkeeping: once per scan and once per chunk read.
void ScanBegin(int fd, const char* name);
void ScanChunkRead(uint64_t bytes_read);
void ScanDone();
// Says once per scan, limit and PID that a table held more than a record keeps: "Warning:
// the PMT on PID 0x0100 of NAME holds more than LIMIT; the rest is not kept." `limit` is one
// of the constant texts below.
void NoteCapacity(const char* table, uint16_t pid, const char* limit);
inline constexpr char kProgramsLimit[] = "256 programs";
inline constexpr char kPMTLimit[] = "64 detailed streams or 32 descriptors in a loop";
inline constexpr char kCATLimit[] = "32 descriptors";
inline constexpr char kLanguagesLimit[] = "16 languages for one stream";
inline constexpr char kSlotsLimit[] = "the 64 programs the dump follows at once";

// Damage of the scan in progress, and the continuity_counter last seen on each PID.
extern TS_Damage g_tDamage;
extern uint8_t g_lu8LastCC[8192];

// Counts the damage one packet shows: transport_error_indicator, and a continuity_counter
// that neither repeats nor follows the last one on its PID without a discontinuity_indicator.
inline void AccountPacket(const uint8_t* b) {
    if (b[1] & 0x80) ++g_tDamage.transport_errors;
    const uint8_t afc = (b[3] >> 4) & 3;
    if ((afc & 1) == 0) return;  // no payload: the counter does not advance
    const uint16_t pid = static_cast<uint16_t>(((b[1] & 0x1F) << 8) | b[2]);
    if (pid == TS_PID_NULL) return;
    const uint8_t cc = b[3] & 0x0F;
    const uint8_t last = g_lu8LastCC[pid];
    g_lu8LastCC[pid] = cc;
    if (last > 15 || cc == last || cc == ((last + 1) & 15)) return;
    const bool discontinuity = (afc & 2) && b[4] > 0 && (b[5] & 0x80);
    if (!discontinuity) ++g_tDamage.continuity_breaks;
}

inline constexpr uint64_t kNoStart = ~uint64_t{0};

// Test seam: called with the input offset the scan has reached, every kScanChunk bytes.
using ScanPositionFunction = void (*)(uint64_t offset);
void SetScanPositionFunction(ScanPositionFunction function);
extern ScanPositionFunction g_pScanPosition;

// Walks the input over `data` (TS_Data or TS_SimpleData, already initialised): the bytes of
// `mapped` (`mapped_size` of them) when the input is mapped, else those read from `fd`, into
// the container's stream buffer. `name` names it in messages.
//
// A packet start is confirmed when 0x47 stands at it and at the next two unit strides
// (strides past the end of the input excepted). The scan starts at the first confirmed start
// and steps one unit at a time while the next unit begins with 0x47. Where it does not, sync
// is lost: the scan goes on at the first confirmed start after the current packet's start,
// and the current packet is handed out only when that start lies at or beyond its end (bytes
// were inserted after it); a start inside it means the packet lost bytes, and it is dropped.
// An incomplete last packet is dropped. So nothing but whole packets of the input reaches a
// driver, and no whole packet is lost to junk between packets.
//
// `handle(const ScanPacket&)` returns 0 to go on; any other value ends the scan and is
// returned. Returns 0 at the end of the input, TS_READ_FAILED (after reporting it) when a
// read fails.
template <class Container, class Handler>
int32_t ScanBytes(Container* data, int fd, const uint8_t* mapped, uint64_t mapped_size, const char* name,
                  Handler&& handle) {
    // The bytes at hand: the mapping, or the stream buffer holding the input from `base` on.
    const uint8_t* const s = mapped ? mapped : data->lu8Stream;
    uint64_t base = 0;  // input offset of s[0]
    uint64_t size = mapped ? mapped_size : 0;  // bytes held in s
    bool ended = mapped != nullptr;
    int read_error = 0;
    uint64_t total_read = 0;
    uint64_t packets = 0;
    uint64_t next_step = kScanChunk;  // offset of the next progress step of a mapped input
    uint64_t released = 0;             // its pages before this offset are let go
    data->u64Offset = 0;
    data->u64Size = 0;
    ScanBegin(fd, name);

    // Makes the input bytes before `end` available, keeping those from `keep` on; false when
    // the input ends (or fails) first.
    auto need = [&](uint64_t keep, uint64_t end) -> bool {
        while (base + size < end) {
            if (ended) return false;
            uint8_t* const buffer = data->lu8Stream;
            if (keep > base) {
                const uint64_t drop = keep - base < size ? keep - base : size;
                std::memmove(buffer, buffer + drop, size - drop);
                base += drop;
                size -= drop;
            }
            uint64_t room = TS_STREAM_CAPACITY - size;
            if (room > kScanChunk) room = kScanChunk;
            const ssize_t got = ReadInput(fd, buffer + size, room);
            if (got <= 0) {
                if (got < 0) read_error = errno ? errno : EIO;
                ended = true;
                return false;
            }
            size += static_cast<uint64_t>(got);
            total_read += static_cast<uint64_t>(got);
            ScanChunkRead(total_read);
            if (g_pScanPosition) g_pScanPosition(total_read);
        }
        return true;
    };

    if (!need(0, kDetectBytes) && size == 0) {
        ScanDone();
        if (read_error) {
            ReportReadFailure(name, read_error);
            return TS_READ_FAILED;
        }
        return 0;
    }
    const uint32_t unit = DetectUnitSize(s, size < kDetectBytes ? size : kDetectBytes);
    const uint32_t lead = TS_UnitLead(unit);

    // A confirmed start at `x`? Looks only at bytes it makes available.
    auto confirmed = [&](uint64_t keep, uint64_t x) -> bool {
        for (uint32_t k = 0; k < 3; ++k) {
            const uint64_t at = x + uint64_t{k} * unit + lead;
            if (!need(keep, at + 1)) return k > 0;  // a stride past the end
            if (s[at - base] != TS_SYNC_BYTE) return false;
        }
        return true;
    };
    // The first confirmed start from `from` on (before `limit`), or kNoStart. The bytes from
    // `keep` on stay available; with `slide`, those the search has passed need not.
    auto find = [&](uint64_t keep, uint64_t from, uint64_t limit, bool slide) -> uint64_t {
        for (uint64_t x = from; x < limit;) {
            if (!need(keep, x + lead + 1)) return kNoStart;
            const uint8_t* at = s + (x + lead - base);
            const uint8_t* hit = static_cast<const uint8_t*>(
                std::memchr(at, TS_SYNC_BYTE, static_cast<size_t>(base + size - (x + lead))));
            if (hit == nullptr) {
                x = base + size - lead;  // nothing at hand: read on
                if (slide && keep < x) keep = x;
                continue;
            }
            x += static_cast<uint64_t>(hit - at);
            if (x >= limit) return kNoStart;
            if (confirmed(keep, x)) return x;
            if (slide && keep < x) keep = x;
            ++x;
        }
        return kNoStart;
    };

    // A mapped input's progress, and its pages the scan is done with, every kScanChunk bytes.
    auto step = [&](uint64_t c) {
        total_read = c;
        ScanChunkRead(c);
        if (g_pScanPosition) g_pScanPosition(c);
        if (c > released + kMappedLag + kMappedRelease)
            released = ReleaseMapped(mapped, mapped_size, released, c - kMappedLag);
        next_step = c + kScanChunk;
    };

    int32_t result = 0;
    auto hand = [&](uint64_t c) __attribute__((always_inline)) -> int32_t {
        if (mapped && c >= next_step) step(c);
        ScanPacket p;
        p.unit = s + (c - base);
        p.unit_size = unit;
        p.bytes = p.unit + lead;
        p.index = packets++;
        p.byte_offset = c;
        DecodeHeader(&p.header, p.bytes);  // the scan stands on a sync byte
        AccountPacket(p.bytes);
        if (!mapped) {
            data->u64Offset = c - base;
            data->u64Size = size;
        }
        return handle(static_cast<const ScanPacket&>(p));
    };

    uint64_t c = find(0, 0, kNoStart, true);
    g_tDamage.bytes_skipped += (c == kNoStart ? base + size : c);
    while (c != kNoStart) {
        // Packets at hand whose next unit begins with 0x47.
        while (c + unit + lead < base + size && s[c - base + unit + lead] == TS_SYNC_BYTE) {
            __builtin_prefetch(s + (c - base) + 8192);
            if ((result = hand(c)) != 0) goto done;
            c += unit;
        }
        if (need(c, c + unit + lead + 1)) {
            if (s[c - base + unit + lead] == TS_SYNC_BYTE) continue;
            // Sync lost after the packet at c.
            const uint64_t inside = find(c, c + 1, c + unit, false);  // the packet at c stays
            if (inside != kNoStart) {
                ++g_tDamage.packets_dropped;  // the packet lost bytes
                c = inside;
                continue;
            }
            if ((result = hand(c)) != 0) goto done;
            const uint64_t next = find(c + unit, c + unit, kNoStart, true);
            g_tDamage.bytes_skipped += (next == kNoStart ? base + size : next) - (c + unit);
            c = next;
            continue;
        }
        // The input ends within a unit of c.
        if (c + unit <= base + size) {
            if ((result = hand(c)) != 0) goto done;
            g_tDamage.incomplete_tail += base + size - (c + unit);
        } else {
            g_tDamage.incomplete_tail += base + size - c;
        }
        break;
    }
done:
    if (mapped) ScanChunkRead(total_read = mapped_size);
    ScanDone();
    if (result != 0) return result;
    if (read_error) {
        ReportReadFailure(name, read_error);
        return TS_READ_FAILED;
    }
    return 0;
}

// The scan of an input read from `fd`.
template <class Container, class Handler>
int32_t ScanFile(Container* data, int fd, const char* name, Handler&& handle) {
    return ScanBytes(data, fd, nullptr, 0, name, handle);
}

// The scan of an opened input: in place when it is mapped, with a file that shrinks under
// the scan ending it as a failed read.
template <class Container, class Handler>
int32_t ScanInput(Container* data, const InputFile& input, const char* name, Handler&& handle) {
    if (input.map == nullptr) return ScanBytes(data, input.fd, nullptr, 0, name, handle);
    GuardMapping(input);
    if (sigsetjmp(g_tShrankJump, 1) != 0) {
        // A page of the mapping was gone: the file shrank.
        UnguardMapping();
        ScanDone();
        ReportInputShrank();
        return TS_READ_FAILED;
    }
    int32_t r = ScanBytes(data, input.fd, input.map, input.map_size, name, handle);
    UnguardMapping();
    if (r == 0 && InputShrank(input)) {
        ReportInputShrank();
        r = TS_READ_FAILED;
    }
    return r;
}

}  // namespace ts_detail
