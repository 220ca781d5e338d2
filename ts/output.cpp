// Input and output files of the drivers: checked, buffered writes into static buffers.
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ts_detail {

namespace {

// The buffer only changes how the bytes are grouped into writes, never their order; 256 KiB
// keeps writes few while 256 outputs at once still stay within 64 MiB.
constexpr uint32_t kBufferSize = 256 * 1024;
constexpr uint32_t kNameSize = 4096;  // longer paths do not open on this platform

struct Output {
    int fd = -1;
    uint32_t fill = 0;
    char name[kNameSize];
    uint8_t buffer[kBufferSize];
};

Output g_ltOutput[kMaxOutputs];

// Writes all of `length` bytes, retrying after interruptions and partial writes.
bool WriteAll(int fd, const uint8_t* bytes, size_t length, int* error) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return false;
        }
        if (n == 0) {
            *error = ENOSPC;
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int32_t Fail(Output& o, int error) {
    std::fprintf(stderr, "Error: Failed write %s (%s).\n", o.name, std::strerror(error));
    ::close(o.fd);
    o.fd = -1;
    o.fill = 0;
    return kWriteFailed;
}

int32_t Flush(Output& o) {
    int error = 0;
    if (o.fill && !WriteAll(o.fd, o.buffer, o.fill, &error)) return Fail(o, error);
    o.fill = 0;
    return 0;
}

}  // namespace

int32_t OpenInput(InputFile* input, const char* name) {
    input->fd = ::open(name, O_RDONLY);
    struct stat st;
    if (input->fd < 0 || ::fstat(input->fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        if (input->fd >= 0) ::close(input->fd);
        input->fd = -1;
        std::fprintf(stderr, "Error: Failed open %s.\n", name);
        return -2;
    }
    input->dev = st.st_dev;
    input->ino = st.st_ino;
    return 0;
}

void CloseInput(InputFile* input) {
    if (input->fd >= 0) ::close(input->fd);
    input->fd = -1;
}

int32_t OpenOutput(uint32_t slot, const char* name, const InputFile* input, int32_t failure,
                   const char* message) {
    if (slot >= kMaxOutputs || name == nullptr) return failure;
    Output& o = g_ltOutput[slot];
    if (o.fd >= 0) CloseOutput(slot);
    // Opened without O_TRUNC first, so that the input itself is recognised before anything
    // of it is lost.
    int fd = ::open(name, O_WRONLY | O_CREAT, 0666);
    struct stat st;
    bool refused = fd < 0 || ::fstat(fd, &st) != 0 || std::strlen(name) >= kNameSize;
    if (!refused && input && input->fd >= 0 && st.st_dev == input->dev && st.st_ino == input->ino)
        refused = true;
    // Truncating a file just created would cost a flush to disk at its close on some file
    // systems: only a file that holds bytes is truncated.
    if (!refused && S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd, 0) != 0) refused = true;
    if (refused) {
        if (fd >= 0) ::close(fd);
        std::fprintf(stderr, message ? message : "Error: Failed open %s.\n", name);
        return failure;
    }
    o.fd = fd;
    o.fill = 0;
    std::snprintf(o.name, sizeof o.name, "%s", name);
    return 0;
}

bool IsOutputOpen(uint32_t slot) { return slot < kMaxOutputs && g_ltOutput[slot].fd >= 0; }

const char* OutputName(uint32_t slot) { return slot < kMaxOutputs ? g_ltOutput[slot].name : ""; }

int32_t WriteOutput(uint32_t slot, const uint8_t* bytes, uint32_t length) {
    if (slot >= kMaxOutputs || g_ltOutput[slot].fd < 0) return kWriteFailed;
    Output& o = g_ltOutput[slot];
    if (o.fill + length > kBufferSize) {
        int32_t r = Flush(o);
        if (r != 0) return r;
        if (length > kBufferSize) {
            int error = 0;
            return WriteAll(o.fd, bytes, length, &error) ? 0 : Fail(o, error);
        }
    }
    std::memcpy(o.buffer + o.fill, bytes, length);
    o.fill += length;
    return 0;
}

int32_t CloseOutput(uint32_t slot) {
    if (slot >= kMaxOutputs || g_ltOutput[slot].fd < 0) return 0;
    Output& o = g_ltOutput[slot];
    int32_t r = Flush(o);
    if (r != 0) return r;
    int fd = o.fd;
    o.fd = -1;
    if (::close(fd) != 0) {
        std::fprintf(stderr, "Error: Failed write %s (%s).\n", o.name, std::strerror(errno));
        return kWriteFailed;
    }
    return 0;
}

int32_t CloseAllOutputs() {
    int32_t result = 0;
    for (uint32_t slot = 0; slot < kMaxOutputs; ++slot)
        if (CloseOutput(slot) != 0) result = kWriteFailed;
    return result;
}

}  // namespace ts_detail
