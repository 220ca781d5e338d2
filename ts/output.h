// Input and output files of the drivers. Inputs are opened read-only and remembered by
// device and inode, so that an output naming the input itself is refused before anything
// is written. Outputs are truncated on opening and written through static buffers that
// produce the same bytes in the same order as one write per packet; every write is checked.
#pragma once

#include <cstdint>
#include <sys/types.h>

namespace ts_detail {

inline constexpr uint32_t kMaxOutputs = 256;
inline constexpr int32_t kWriteFailed = -5;

struct InputFile {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

// Opens `name` read-only. On failure prints "Error: Failed open %s.\n" and returns -2.
int32_t OpenInput(InputFile* input, const char* name);
void CloseInput(InputFile* input);

// Opens output `slot` (0..255) as `name`, write-only, created with mode 0666 and truncated.
// An output that is `input` itself, or that does not open, is refused with `message` (a
// format taking the name; "Error: Failed open %s.\n" when null) and `failure` is returned;
// the file is left as it was.
int32_t OpenOutput(uint32_t slot, const char* name, const InputFile* input, int32_t failure,
                   const char* message = nullptr);
bool IsOutputOpen(uint32_t slot);
// Appends bytes to output `slot`. A failed or short write prints
// "Error: Failed write %s.\n" with the reason and returns -5; the output is then closed.
int32_t WriteOutput(uint32_t slot, const uint8_t* bytes, uint32_t length);
// Flushes and closes output `slot` (nothing when it is not open); -5 when that fails.
int32_t CloseOutput(uint32_t slot);
// Closes every open output; returns -5 when any of them failed, else 0.
int32_t CloseAllOutputs();
// The name an open output was opened under.
const char* OutputName(uint32_t slot);

}  // namespace ts_detail
