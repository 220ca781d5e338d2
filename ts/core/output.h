// Output files of the drivers. The input (input.h) is remembered by device and inode, so
// that an output naming the input itself is refused before anything is written. Outputs
// gather what they are given into writes of up to 256 KiB that produce the same bytes in the
// same order as one write per packet: bytes of a mapped input are written from the mapping,
// others are copied into a static buffer first. Every write is checked.
//
// A regular-file output is written under a temporary name beside its final name and renamed
// to it when completed, so that a file under its final name is always whole: a file of that
// name already there stays as it was until then. While such an output is open, SIGINT,
// SIGTERM and SIGHUP remove the temporary files before the process ends of the signal.
// Outputs that are not regular files (a FIFO, a device such as /dev/null) and standard
// output (the name "-") are written directly.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "core/core.h"
#include "core/input.h"

namespace ts_detail {

inline constexpr uint32_t kMaxOutputs = 256;
inline constexpr int32_t kWriteFailed = -5;
// The input could not be read further: what was written up to there is kept.
inline constexpr int32_t kReadFailed = TS_READ_FAILED;

// Opens output `slot` (0..255) as `name`, a slot still open being completed first. A regular
// file is written under a temporary name and made with mode 0666 less the umask, or with the
// mode (and, where allowed, the owner) of the file it replaces. An output that is `input`
// itself, or that does not open (or could not be written as a file of that name would be
// refused today: a directory, a file without write permission), is refused with `message`
// (a format taking the name; "Error: Failed open %s.\n" when null) and `failure` is
// returned; nothing is created and an existing file is left as it was.
int32_t OpenOutput(uint32_t slot, const char* name, const InputFile* input, int32_t failure,
                   const char* message = nullptr);
bool IsOutputOpen(uint32_t slot);
// Appends bytes to output `slot`. A failed or short write prints
// "Error: Failed write %s (reason).\n" and returns -5; the output is then closed and its
// temporary file removed. When bytes of the mapped input can no longer be written because
// the input shrank, the input's failed read is reported instead (once a run), kReadFailed is
// returned and the output keeps the whole packets written before.
int32_t WriteOutput(uint32_t slot, const uint8_t* bytes, uint32_t length);
// Completes output `slot`: flushes, closes and renames it to its final name (nothing when it
// is not open). A failure is reported as for a write, the temporary file removed; -5.
// kReadFailed when the mapped input shrank before all of it was written: the file is
// completed with what was written.
int32_t CloseOutput(uint32_t slot);
// Whether output `slot` is a regular file (written under a temporary name): only such an
// output can be cut back or dropped after bytes were written to it.
bool IsOutputFile(uint32_t slot);
// Bytes given to output `slot` so far (written and held).
uint64_t OutputSize(uint32_t slot);
// Cuts output `slot`, a regular file, back to its first `size` bytes, to go on from there.
// A failure is reported as for a write and the output abandoned; -5.
int32_t CutOutput(uint32_t slot, uint64_t size);
// Closes output `slot` without completing it, its temporary file removed, as if it had never
// been opened: no message names it.
void DropOutput(uint32_t slot);
// Ends the outputs of a run. When `result` is not a failure (0 or positive) or is
// kReadFailed, every open output is completed; after any other failure every open output
// is abandoned as by AbortAllOutputs. Whenever the run leaves outputs it began not
// completed, one message, "Error: not written: a.ts, b.ts.\n", names them with the outputs
// the run refused. Returns the first failure: `result` when negative, else that of the
// first completion that failed (-5, or kReadFailed), else 0.
int32_t FinishOutputs(int32_t result);
// Closes every open output without completing it: temporary files are removed, and the
// message of FinishOutputs names the outputs not completed.
void AbortAllOutputs();
// Whether the run that ended last began or refused an output named `name` and did not
// complete it.
bool OutputNotWritten(const char* name);
// Writes out what the open outputs hold of the mapped input, before it is unmapped; and
// the outputs holding any of it before `point`, before those pages are let go. A failure
// there is returned by the next write of the run and by FinishOutputs.
void FlushMappedInput();
void FlushMappedBefore(const uint8_t* point);
// The name an open output was opened under.
const char* OutputName(uint32_t slot);

// The write function of the outputs; null restores write(2). For tests that fail a write.
using WriteFunction = ssize_t (*)(int fd, const void* bytes, size_t length);
void SetWriteFunction(WriteFunction write);

}  // namespace ts_detail

// Name buffers of the drivers: the input's base name and the output being opened.
extern char g_strString1[TS_NAME_CAPACITY];
extern char g_strString2[TS_NAME_CAPACITY];
