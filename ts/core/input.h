// The input file of a driver. A regular file is mapped and scanned in place, read once
// sequentially; standard input, pipes, devices and files that do not map are read in chunks
// into the stream buffer. A mapped file is read up to the size it had when it was opened: a
// recording still being written is read as far as it had come. A file that shrinks while it
// is read ends the scan as a failed read ("the file shrank while it was read"), never with
// SIGBUS.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <sys/types.h>

#include "core/core.h"

namespace ts_detail {

struct InputFile {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    bool standard = false;      // standard input, never closed here
    bool regular = false;       // a regular file (its size is known, it may be read again)
    const char* name = nullptr;  // as given, for messages
    const uint8_t* map = nullptr;  // the file's bytes when it is mapped
    uint64_t map_size = 0;
};

// The input's reads, through a function that tests may replace (nullptr: read(2));
// while one is set, files are read and not mapped.
using ReadFunction = ssize_t (*)(int fd, void* buffer, size_t length);
void SetReadFunction(ReadFunction function);
// One read, retried when interrupted.
ssize_t ReadInput(int fd, void* buffer, size_t length);

// Notes a failure for TS_LastFailure.
void NoteFailure(const char* name, int error);

// Opens `name` read-only ("-": standard input), mapping it when it is a regular file that is
// not empty and the mapping succeeds. On failure reports "Error: Failed open %s.\n" and
// returns -2. The name must stay valid until CloseInput.
int32_t OpenInput(InputFile* input, const char* name);
// Completes what the outputs hold of the mapping, unmaps and closes.
void CloseInput(InputFile* input);

// The mapped input, for the outputs: bytes inside it stay valid until CloseInput.
struct MappedInput {
    const uint8_t* begin = nullptr;
    const uint8_t* end = nullptr;
    const char* name = nullptr;
    bool shrank_reported = false;
};
extern MappedInput g_tMappedInput;
// Reports the failed read of a mapped input that shrank, once for the input.
void ReportInputShrank();
// Reports "Error: Failed read NAME (reason)." and notes the failure.
void ReportReadFailure(const char* name, int error);
inline bool InMappedInput(const uint8_t* bytes, uint32_t length) {
    return bytes >= g_tMappedInput.begin && bytes + length <= g_tMappedInput.end;
}

// Whether the mapped file is now shorter than its mapping.
bool InputShrank(const InputFile& input);

// A SIGBUS on the mapping while it is guarded returns to the sigsetjmp on g_tShrankJump.
extern sigjmp_buf g_tShrankJump;
void GuardMapping(const InputFile& input);
void UnguardMapping();

// Lets go of the pages of the mapping from `from` to `to` (offsets, rounded down to pages)
// that the scan is done with, so that they do not stay in the process's resident memory.
// Returns the offset released up to.
uint64_t ReleaseMapped(const uint8_t* map, uint64_t map_size, uint64_t from, uint64_t to);

}  // namespace ts_detail
