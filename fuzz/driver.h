// What the fuzz targets of the file drivers share: the fuzzer's bytes become the input file
// of a scratch directory, the outputs the drivers write there are checked and removed after
// each run, and standard output goes to /dev/null.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "quiet.h"
#include "core/scan.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace fuzz {

// Offset of the sync byte in a unit: after the 4-byte header of a 192-byte unit, first in a
// 188-byte unit and in a 204-byte one (the packet, then a 16-byte trailer).
inline uint32_t SyncOffset(uint32_t unit) { return unit == TS_M2TS_PACKET_SIZE ? 4 : 0; }

// Stops the run loudly: libFuzzer records the input as a crash.
[[noreturn]] inline void Finding(const char* what, const char* detail = "") {
    std::fprintf(stderr, "FINDING: %s %s\n", what, detail);
    std::abort();
}

class Scratch {
public:
    Scratch() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkarin-fuzz-XXXXXX";
        dir_ = pattern;
        if (::mkdtemp(dir_.data()) == nullptr) Finding("cannot make a scratch directory", pattern.c_str());
        input_ = dir_ + "/in.ts";
        QuietStdout();
    }
    ~Scratch() {
        Clean(true);
        ::rmdir(dir_.c_str());
    }

    const std::string& dir() const { return dir_; }
    const char* input() const { return input_.c_str(); }
    std::string Path(const char* name) const { return dir_ + "/" + name; }

    // Writes the input file.
    void WriteInput(const uint8_t* data, size_t size) {
        int fd = ::open(input_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) Finding("cannot write the input", input_.c_str());
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(fd, data + done, size - done);
            if (n <= 0) Finding("cannot write the input", input_.c_str());
            done += static_cast<size_t>(n);
        }
        ::close(fd);
    }

    // Calls f(path, size) for every file of the scratch directory but the input.
    template <class F>
    void ForEachOutput(F&& f) const {
        DIR* d = ::opendir(dir_.c_str());
        if (d == nullptr) return;
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.' || std::strcmp(e->d_name, "in.ts") == 0) continue;
            std::string path = dir_ + "/" + e->d_name;
            struct stat st;
            if (::stat(path.c_str(), &st) == 0) f(path, static_cast<uint64_t>(st.st_size));
        }
        ::closedir(d);
    }

    // Every output must hold whole packets of `unit` bytes, each with 0x47 at its sync
    // position; returns how many outputs there are.
    uint32_t CheckOutputs(uint32_t unit) const {
        uint32_t count = 0;
        ForEachOutput([&](const std::string& path, uint64_t size) {
            ++count;
            if (size % unit != 0) Finding("output of partial packets:", path.c_str());
            int fd = ::open(path.c_str(), O_RDONLY);
            if (fd < 0) Finding("output does not open:", path.c_str());
            static uint8_t buffer[65536];
            uint64_t at = 0;
            for (;;) {
                ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n <= 0) break;
                for (ssize_t k = 0; k < n; ++k, ++at)
                    if (at % unit == SyncOffset(unit) && buffer[k] != TS_SYNC_BYTE)
                        Finding("output packet without sync byte:", path.c_str());
            }
            ::close(fd);
            if (at != size) Finding("output shorter than its size:", path.c_str());
        });
        return count;
    }

    // Size of one output, or -1 when it does not exist.
    int64_t SizeOf(const std::string& path) const {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }

    // Removes the outputs (and the input too when `all`).
    void Clean(bool all = false) const {
        ForEachOutput([](const std::string& path, uint64_t) { ::unlink(path.c_str()); });
        if (all) ::unlink(input_.c_str());
    }

private:
    std::string dir_;
    std::string input_;
};

inline Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

// Gives the fuzzer's sections a correct CRC_32 when `fix` is set, so that mutated tables
// get past the CRC check and reach the decoders behind it: every section that starts and
// ends within one packet of `unit` bytes gets its last four bytes recomputed. Sections that
// span packets keep what they have (the seeds carry intact ones).
inline void FixSectionCRCs(uint8_t* data, size_t size, uint32_t unit) {
    const uint32_t lead = SyncOffset(unit);
    size_t first = 0;
    while (first + lead < size && data[first + lead] != TS_SYNC_BYTE) ++first;
    for (size_t off = first; off + unit <= size; off += unit) {
        uint8_t* p = data + off + lead;
        if (p[0] != TS_SYNC_BYTE || (p[1] & 0x40) == 0 || (p[3] & 0x10) == 0) continue;
        uint32_t start = 4;
        if (p[3] & 0x20) start += 1u + p[4];
        if (start >= TS_PACKET_SIZE) continue;
        uint32_t pos = start + 1u + p[start];
        while (pos + 3 <= TS_PACKET_SIZE && p[pos] != 0xFF) {
            uint32_t total = 3u + (((p[pos + 1] & 0x0Fu) << 8) | p[pos + 2]);
            if (total < 7 || pos + total > TS_PACKET_SIZE) break;
            uint32_t crc = GetCRC32(0xFFFFFFFFu, p + pos, total - 4);
            p[pos + total - 4] = static_cast<uint8_t>(crc >> 24);
            p[pos + total - 3] = static_cast<uint8_t>(crc >> 16);
            p[pos + total - 2] = static_cast<uint8_t>(crc >> 8);
            p[pos + total - 1] = static_cast<uint8_t>(crc);
            pos += total;
        }
    }
}

// The input file of a driver target: byte 0 of the fuzzer's data chooses options, the rest
// is the file.
//   bit 0  fix the CRCs of one-packet sections
//   bit 6  put null packets in front, so that the file's own bytes straddle the end of the
//          scan's first read
// Returns the packet unit of the file as the scan will see it.
inline uint32_t PrepareInput(const uint8_t* data, size_t size, uint8_t* options) {
    static uint8_t file[ts_detail::kScanChunk + (1 << 20)];
    *options = size ? data[0] : 0;
    if (size) {
        ++data;
        --size;
    }
    if (size > (1 << 20)) size = 1 << 20;
    uint32_t unit = size ? ts_detail::DetectUnitSize(data, size) : TS_PACKET_SIZE;
    size_t prefix = 0;
    if ((*options & 0x40) && size > 0) {
        // Whole null packets of the data's unit, ending before the read boundary by half the
        // data, so that the boundary falls in its middle.
        const size_t before = ts_detail::kScanChunk - size / 2 - 1;
        const size_t count = before / unit;
        for (size_t k = 0; k < count; ++k) {
            uint8_t* u = file + k * unit;
            std::memset(u, 0xFF, unit);
            std::memset(u, 0, SyncOffset(unit));
            uint8_t* p = u + SyncOffset(unit);
            p[0] = TS_SYNC_BYTE;
            p[1] = 0x1F;
            p[2] = 0xFF;
            p[3] = 0x10;
        }
        prefix = count * unit;
    }
    std::memcpy(file + prefix, data, size);
    size += prefix;
    if (*options & 1) FixSectionCRCs(file, size, unit);
    // New CRC bytes, or the null packets, can make a grid appear or vanish: the unit is the
    // final file's.
    unit = size ? ts_detail::DetectUnitSize(file, size < ts_detail::kScanChunk ? size : ts_detail::kScanChunk)
                : TS_PACKET_SIZE;
    TheScratch().WriteInput(file, size);
    return unit;
}

}  // namespace fuzz
