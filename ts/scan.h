// The packet scan shared by every driver: the input is read in chunks straight into the
// container's stream buffer behind the unconsumed tail, and consumed one packet at a time
// from each sync byte. Streams of 192-byte packets (a 4-byte TP_extra_header before each
// 188-byte packet) are recognised from the start of the file.
#pragma once

#include <cstdint>
#include <cstring>
#include <unistd.h>

#include "ts.h"

namespace ts_detail {

// One packet as the scan hands it to a driver.
struct ScanPacket {
    const uint8_t* unit;      // the packet as stored: 188 bytes, or 192 with its extra header
    uint32_t unit_size;       // 188 or 192
    const uint8_t* bytes;     // the 188-byte transport packet (unit + unit_size - 188)
    TS_Header header;         // decoded header of `bytes`
    uint64_t index;           // packets handed out before this one
    uint64_t byte_offset;     // offset of `unit` in the input file
};

// Bytes read at a time: small enough that the bytes just read are still in the processor's
// cache when the scan walks them, which matters more than the number of reads.
inline constexpr uint64_t kScanChunk = 256 * 1024;

// Packet size of a stream whose first `n` bytes are `p`: 192 when 0x47 repeats with a
// 192-byte stride from offset 4 over every whole unit of the first eight (two at least) and
// the 188-byte stride does not hold there, else 188.
uint32_t DetectUnitSize(const uint8_t* p, uint64_t n);

// Progress display hooks: once per scan and once per chunk read, never per packet.
void ScanBegin(int fd);
void ScanChunkRead(uint64_t bytes_read);
void ScanDone();

// Walks the file open on `fd` over `data` (TS_Data or TS_SimpleData, already initialised).
// `handle(const ScanPacket&)` returns 0 to go on; any other value ends the scan and is
// returned. Returns 0 at the end of the input (a read error ends it likewise).
template <class Container, class Handler>
int32_t ScanFile(Container* data, int fd, Handler&& handle) {
    uint32_t unit = 0;  // 0 until the first bytes are seen
    uint32_t lead = 0;  // bytes in front of the sync byte within a unit
    uint64_t packets = 0;
    uint64_t consumed_before = 0;  // file offset of lu8Stream[0]
    uint64_t total_read = 0;
    int32_t result = 0;
    ScanBegin(fd);
    for (;;) {
        // Move the unconsumed tail to the front and read the next chunk right behind it.
        uint64_t remaining = data->u64Size - data->u64Offset;
        consumed_before += data->u64Offset;
        if (remaining) std::memmove(data->lu8Stream, data->lu8Stream + data->u64Offset, remaining);
        data->u64Offset = 0;
        data->u64Size = remaining;
        uint64_t room = TS_STREAM_CAPACITY - remaining;
        if (room > kScanChunk) room = kScanChunk;
        ssize_t got = ::read(fd, data->lu8Stream + remaining, room);
        if (got <= 0) break;
        data->u64Size += static_cast<uint64_t>(got);
        total_read += static_cast<uint64_t>(got);
        ScanChunkRead(total_read);
        if (unit == 0) {
            unit = DetectUnitSize(data->lu8Stream, data->u64Size);
            lead = unit - TS_PACKET_SIZE;
        }
        const uint8_t* s = data->lu8Stream;
        uint64_t off = data->u64Offset;
        const uint64_t size = data->u64Size;
        // Synchronise: the sync byte sits `lead` bytes into a unit.
        while (off + lead < size && s[off + lead] != TS_SYNC_BYTE) ++off;
        while (off + unit <= size) {
            ScanPacket p;
            p.unit = s + off;
            p.unit_size = unit;
            p.bytes = s + off + lead;
            p.index = packets++;
            p.byte_offset = consumed_before + off;
            TS_Header_Get(&p.header, p.bytes);
            data->u64Offset = off;
            result = handle(static_cast<const ScanPacket&>(p));
            if (result != 0) {
                data->u64Offset = off + unit;
                ScanDone();
                return result;
            }
            off += unit;
            // Re-synchronise on the next sync byte.
            while (off + unit <= size && s[off + lead] != TS_SYNC_BYTE) ++off;
        }
        data->u64Offset = off;
    }
    ScanDone();
    return 0;
}

}  // namespace ts_detail
