// Input and output files of the drivers: checked, buffered writes into static buffers, and
// regular files written under a temporary name and renamed when complete.
#include "core/report.h"
#include "core/output.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/core.h"

namespace ts_detail {

namespace {

// The pieces of a write only change how the bytes are grouped, never their order; 256 KiB
// a write keeps writes few while the copies of 256 outputs at once stay within 64 MiB. Every
// piece is a packet or more, so a write never has more than kPieces of them.
constexpr uint32_t kBufferSize = 256 * 1024;
constexpr uint32_t kPieces = kBufferSize / TS_PACKET_SIZE + 2;
constexpr uint32_t kPiecesPerCall = 1024;  // IOV_MAX
constexpr uint32_t kNameSize = 4096;  // longer paths do not open on this platform

enum class Kind : uint8_t {
    kFile,      // a regular file, written under g_temp[slot] and renamed to `target`
    kDirect,    // a FIFO or a device, written as it is
    kStandard,  // standard output, never closed here
};

// What became of the output a slot was last given in the current (or last) run.
enum class State : uint8_t { kIdle, kOpen, kCompleted, kLost, kRefused };

struct Output {
    int fd = -1;
    uint32_t fill = 0;     // bytes copied into `buffer`
    uint32_t pending = 0;  // bytes in `piece`, copied or in the mapped input
    uint32_t pieces = 0;
    uint32_t unit = 0;     // size of the packets written (for a cut after the input shrank)
    uint64_t written = 0;  // bytes written to the file
    bool mapped = false;   // a piece lies in the mapped input
    bool cut = false;      // the input shrank under its write: it takes nothing more
    const uint8_t* oldest = nullptr;  // the first piece in the mapped input
    Kind kind = Kind::kFile;
    State state = State::kIdle;
    char name[kNameSize];    // as given: the name the messages use
    char target[kNameSize];  // the file the rename replaces: `name` with its symbolic links followed
    iovec piece[kPieces];
    uint8_t buffer[kBufferSize];
};

Output g_ltOutput[kMaxOutputs];
WriteFunction g_pWrite = nullptr;
bool g_bRunOver = true;  // the next OpenOutput starts a new run
uint32_t g_u32TempCounter = 0;
// A write that failed outside a call of WriteOutput (an early write of the mapped input's
// pieces): the run's next write, and its end, return it.
int32_t g_iLateFailure = 0;

// The temporary files, for the signal handler: a name is only changed while the handled
// signals are blocked, and removed only while its flag is set.
char g_strTemp[kMaxOutputs][kNameSize];
volatile sig_atomic_t g_lbLive[kMaxOutputs];
uint32_t g_u32LiveCount = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = 3;
struct sigaction g_ltPrevious[kSignalCount];
bool g_lbHandling[kSignalCount];

void OnSignal(int sig) {
    const int saved = errno;
    for (uint32_t slot = 0; slot < kMaxOutputs; ++slot)
        if (g_lbLive[slot]) ::unlink(g_strTemp[slot]);
    // The signal is blocked until this handler returns; it is then handled as it would have
    // been without the outputs, which for the commands ends the process of it.
    for (int i = 0; i < kSignalCount; ++i)
        if (kSignals[i] == sig) ::sigaction(sig, &g_ltPrevious[i], nullptr);
    ::raise(sig);
    errno = saved;
}

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    return set;
}

// Holds the handled signals back while a temporary name is made, renamed or removed.
struct SignalsBlocked {
    sigset_t previous;
    SignalsBlocked() {
        sigset_t set = HandledSignals();
        ::sigprocmask(SIG_BLOCK, &set, &previous);
    }
    ~SignalsBlocked() { ::sigprocmask(SIG_SETMASK, &previous, nullptr); }
};

// A signal the process ignores (nohup) stays ignored.
void InstallHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_mask = HandledSignals();
    for (int i = 0; i < kSignalCount; ++i) {
        g_lbHandling[i] = false;
        if (::sigaction(kSignals[i], nullptr, &g_ltPrevious[i]) != 0) continue;
        if (!(g_ltPrevious[i].sa_flags & SA_SIGINFO) && g_ltPrevious[i].sa_handler == SIG_IGN) continue;
        g_lbHandling[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
    }
}

void RestoreHandlers() {
    for (int i = 0; i < kSignalCount; ++i)
        if (g_lbHandling[i]) ::sigaction(kSignals[i], &g_ltPrevious[i], nullptr);
}

// Both called with the signals blocked.
void SetLive(uint32_t slot) {
    g_lbLive[slot] = 1;
    if (g_u32LiveCount++ == 0) InstallHandlers();
}
void ClearLive(uint32_t slot) {
    g_lbLive[slot] = 0;
    if (--g_u32LiveCount == 0) RestoreHandlers();
}

bool Copy(char* dst, const char* src) {
    const size_t n = std::strlen(src);
    if (n >= kNameSize) return false;
    std::memcpy(dst, src, n + 1);
    return true;
}

// `name` with its symbolic links followed, so that the rename replaces the file a link
// points to and not the link; a link to a missing file gives that file's name.
bool FollowLinks(const char* name, char* target) {
    if (!Copy(target, name)) return false;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char link[kNameSize];
        const ssize_t n = ::readlink(target, link, sizeof link - 1);
        if (n < 0 || static_cast<size_t>(n) >= sizeof link - 1) return false;
        link[n] = '\0';
        const char* slash = std::strrchr(target, '/');
        const size_t dir = link[0] == '/' || slash == nullptr ? 0 : static_cast<size_t>(slash - target) + 1;
        if (dir + static_cast<size_t>(n) >= kNameSize) return false;
        std::memcpy(target + dir, link, static_cast<size_t>(n) + 1);
    }
    return false;  // a loop of links
}

// A name beside `target` for its temporary file: hidden, with the target's name in it.
bool TempName(const char* target, char* temp) {
    const char* slash = std::strrchr(target, '/');
    const int dir = slash ? static_cast<int>(slash - target) + 1 : 0;
    const int n = std::snprintf(temp, kNameSize, "%.*s.%.200s.%ld-%u.part", dir, target, target + dir,
                                static_cast<long>(::getpid()), g_u32TempCounter++);
    return n > 0 && static_cast<uint32_t>(n) < kNameSize;
}

bool g_bRefusedAsInput = false;  // the last refusal was of the input itself

bool IsInput(const InputFile* input, const struct stat& st) {
    const bool same = input && input->fd >= 0 && st.st_dev == input->dev && st.st_ino == input->ino;
    if (same) g_bRefusedAsInput = true;
    return same;
}

// Opens output `slot`, whose name is set; false when it is refused, nothing made then.
bool Open(uint32_t slot, const InputFile* input) {
    Output& o = g_ltOutput[slot];
    struct stat st;
    if (std::strcmp(o.name, "-") == 0) {
        if (::fstat(STDOUT_FILENO, &st) != 0 || IsInput(input, st)) return false;
        o.fd = STDOUT_FILENO;
        o.kind = Kind::kStandard;
        return true;
    }
    if (!FollowLinks(o.name, o.target)) return false;
    const bool exists = ::stat(o.target, &st) == 0;
    if (!exists && errno != ENOENT) return false;
    if (exists && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return false;
        }
        const int fd = ::open(o.target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || ::fstat(fd, &st) != 0 || IsInput(input, st)) {
            if (fd >= 0) ::close(fd);
            return false;
        }
        o.fd = fd;
        o.kind = Kind::kDirect;
        return true;
    }
    // A file that could not be opened for writing is refused as it was when outputs were
    // written in place, though only its directory is written to.
    if (exists && (IsInput(input, st) || ::faccessat(AT_FDCWD, o.target, W_OK, AT_EACCESS) != 0)) return false;
    int fd = -1;
    {
        SignalsBlocked blocked;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            if (!TempName(o.target, g_strTemp[slot])) return false;
            fd = ::open(g_strTemp[slot], O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) return false;
        }
        if (fd < 0) return false;
        SetLive(slot);
    }
    if (exists) {
        // The replacement keeps the mode and, where the user may give it, the owner of the
        // file it replaces; failing that it stays the user's own.
        [[maybe_unused]] const int owner = ::fchown(fd, st.st_uid, st.st_gid);
        [[maybe_unused]] const int mode = ::fchmod(fd, st.st_mode & 07777);
    }
    o.fd = fd;
    o.kind = Kind::kFile;
    return true;
}

// Closes output `slot` without completing it and removes its temporary file.
void Discard(uint32_t slot) {
    Output& o = g_ltOutput[slot];
    if (o.kind != Kind::kStandard) ::close(o.fd);
    o.fd = -1;
    o.fill = o.pending = o.pieces = 0;
    o.state = State::kLost;
    if (o.kind == Kind::kFile) {
        SignalsBlocked blocked;
        ::unlink(g_strTemp[slot]);
        ClearLive(slot);
    }
}

// Writes all of the pieces, retrying after interruptions and partial writes; false with
// `error` set when a write fails, `written` counting the bytes that went out.
bool WritePieces(int fd, iovec* piece, uint32_t pieces, uint64_t* written, int* error) {
    uint32_t k = 0;
    while (k < pieces) {
        ssize_t n;
        if (g_pWrite) {
            n = g_pWrite(fd, piece[k].iov_base, piece[k].iov_len);
        } else {
            const uint32_t count = pieces - k < kPiecesPerCall ? pieces - k : kPiecesPerCall;
            n = ::writev(fd, piece + k, static_cast<int>(count));
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return false;
        }
        if (n == 0) {
            *error = ENOSPC;
            return false;
        }
        *written += static_cast<uint64_t>(n);
        // Past the pieces written whole, into the one written in part.
        size_t left = static_cast<size_t>(n);
        while (k < pieces && left >= piece[k].iov_len) left -= piece[k++].iov_len;
        if (left) {
            piece[k].iov_base = static_cast<uint8_t*>(piece[k].iov_base) + left;
            piece[k].iov_len -= left;
        }
    }
    return true;
}

int32_t Fail(uint32_t slot, int error) {
    Report("Error: Failed write %s (%s).\n", g_ltOutput[slot].name, std::strerror(error));
    NoteFailure(g_ltOutput[slot].name, error);
    Discard(slot);
    return kWriteFailed;
}

// The mapped input shrank under a write of its bytes: the file keeps the whole packets
// written, the rest is lost with the input's end, and the input's failed read is reported.
int32_t InputLost(uint32_t slot) {
    Output& o = g_ltOutput[slot];
    if (o.unit && o.written % o.unit && o.kind == Kind::kFile && ::ftruncate(o.fd, static_cast<off_t>(o.written - o.written % o.unit)) == 0)
        o.written -= o.written % o.unit;
    o.fill = o.pending = o.pieces = 0;
    o.mapped = false;
    o.cut = true;
    ReportInputShrank();
    return kReadFailed;
}

int32_t Flush(uint32_t slot) {
    Output& o = g_ltOutput[slot];
    int error = 0;
    if (o.pieces && !WritePieces(o.fd, o.piece, o.pieces, &o.written, &error)) {
        if (error == EFAULT && o.mapped) return InputLost(slot);
        return Fail(slot, error);
    }
    o.fill = o.pending = o.pieces = 0;
    o.mapped = false;
    return 0;
}

// Adds a piece, joined to the last one when it follows it in memory.
void AddPiece(Output& o, const uint8_t* bytes, uint32_t length) {
    if (o.pieces) {
        iovec& last = o.piece[o.pieces - 1];
        if (static_cast<const uint8_t*>(last.iov_base) + last.iov_len == bytes) {
            last.iov_len += length;
            o.pending += length;
            return;
        }
    }
    o.piece[o.pieces++] = {const_cast<uint8_t*>(bytes), length};
    o.pending += length;
}

// The message of a run that leaves outputs it began not completed, and the end of the run.
void EndRun() {
    bool lost = false;
    for (const Output& o : g_ltOutput) lost = lost || o.state == State::kLost;
    if (lost) {
        MessageBuilder message;
        message.Add("Error: not written: ");
        const char* separator = "";
        for (const Output& o : g_ltOutput) {
            if (o.state != State::kLost && o.state != State::kRefused) continue;
            message.Add("%s%s", separator, o.name);
            separator = ", ";
        }
        message.Add(".\n");
        message.Send();
    }
    g_bRunOver = true;
    g_iLateFailure = 0;
}

}  // namespace

namespace {
int g_iLastError = 0;
char g_strLastFailure[kNameSize];
}  // namespace

void NoteFailure(const char* name, int error) {
    g_iLastError = error;
    std::snprintf(g_strLastFailure, sizeof g_strLastFailure, "%s", name ? name : "");
}

int32_t OpenOutput(uint32_t slot, const char* name, const InputFile* input, int32_t failure,
                   const char* message) {
    if (slot >= kMaxOutputs || name == nullptr) return failure;
    if (g_bRunOver) {
        g_bRunOver = false;
        for (Output& o : g_ltOutput)
            if (o.fd < 0) o.state = State::kIdle;
    }
    Output& o = g_ltOutput[slot];
    if (o.fd >= 0) CloseOutput(slot);
    o.fill = o.pending = o.pieces = 0;
    o.unit = 0;
    o.written = 0;
    o.mapped = o.cut = false;
    std::snprintf(o.name, sizeof o.name, "%s", name);
    errno = 0;
    g_bRefusedAsInput = false;
    if (std::strlen(name) >= kNameSize || !Open(slot, input)) {
        const int error = std::strlen(name) >= kNameSize ? ENAMETOOLONG
                          : g_bRefusedAsInput            ? TS_FAILURE_IS_INPUT
                          : errno                        ? errno
                                                         : EINVAL;
        o.state = State::kRefused;
        Report(message ? message : "Error: Failed open %s.\n", name);
        NoteFailure(name, error);
        return failure;
    }
    o.state = State::kOpen;
    return 0;
}

bool IsOutputOpen(uint32_t slot) { return slot < kMaxOutputs && g_ltOutput[slot].fd >= 0; }

const char* OutputName(uint32_t slot) { return slot < kMaxOutputs ? g_ltOutput[slot].name : ""; }

int32_t WriteOutput(uint32_t slot, const uint8_t* bytes, uint32_t length) {
    if (slot >= kMaxOutputs || g_ltOutput[slot].fd < 0) return kWriteFailed;
    Output& o = g_ltOutput[slot];
    if (g_iLateFailure != 0) return g_iLateFailure;
    if (o.cut) return kReadFailed;
    o.unit = length;
    if (o.pending + length > kBufferSize) {
        int32_t r = Flush(slot);
        if (r != 0) return r;
        if (length > kBufferSize) {
            int error = 0;
            iovec whole{const_cast<uint8_t*>(bytes), length};
            if (WritePieces(o.fd, &whole, 1, &o.written, &error)) return 0;
            return error == EFAULT && InMappedInput(bytes, length) ? InputLost(slot) : Fail(slot, error);
        }
    }
    if (InMappedInput(bytes, length)) {
        if (!o.mapped) o.oldest = bytes;
        o.mapped = true;
        AddPiece(o, bytes, length);
        return 0;
    }
    std::memcpy(o.buffer + o.fill, bytes, length);
    AddPiece(o, o.buffer + o.fill, length);
    o.fill += length;
    return 0;
}

bool IsOutputFile(uint32_t slot) {
    return slot < kMaxOutputs && g_ltOutput[slot].fd >= 0 && g_ltOutput[slot].kind == Kind::kFile;
}

uint64_t OutputSize(uint32_t slot) {
    if (slot >= kMaxOutputs || g_ltOutput[slot].fd < 0) return 0;
    return g_ltOutput[slot].written + g_ltOutput[slot].pending;
}

int32_t CutOutput(uint32_t slot, uint64_t size) {
    if (!IsOutputFile(slot)) return kWriteFailed;
    Output& o = g_ltOutput[slot];
    if (g_iLateFailure != 0) return g_iLateFailure;
    int32_t r = Flush(slot);
    if (r != 0) return r;
    if (size >= o.written) return 0;
    if (::ftruncate(o.fd, static_cast<off_t>(size)) != 0 || ::lseek(o.fd, static_cast<off_t>(size), SEEK_SET) < 0)
        return Fail(slot, errno);
    o.written = size;
    return 0;
}

void DropOutput(uint32_t slot) {
    if (slot >= kMaxOutputs || g_ltOutput[slot].fd < 0) return;
    Discard(slot);
    g_ltOutput[slot].state = State::kIdle;
}

void FlushMappedInput() { FlushMappedBefore(g_tMappedInput.end); }

void FlushMappedBefore(const uint8_t* point) {
    for (uint32_t slot = 0; slot < kMaxOutputs; ++slot) {
        const Output& o = g_ltOutput[slot];
        if (o.fd < 0 || !o.mapped || o.oldest >= point) continue;
        const int32_t r = Flush(slot);
        if (r != 0 && g_iLateFailure == 0) g_iLateFailure = r;
    }
}

int32_t CloseOutput(uint32_t slot) {
    if (slot >= kMaxOutputs || g_ltOutput[slot].fd < 0) return 0;
    Output& o = g_ltOutput[slot];
    // What the input lost when it shrank is lost to the file too; the file is still completed.
    const int32_t flushed = Flush(slot);
    if (flushed == kWriteFailed) return kWriteFailed;
    const int fd = o.fd;
    o.fd = -1;
    int error = 0;
    if (o.kind != Kind::kStandard && ::close(fd) != 0) error = errno;
    if (o.kind == Kind::kFile) {
        SignalsBlocked blocked;
        if (error == 0 && ::rename(g_strTemp[slot], o.target) != 0) error = errno;
        if (error != 0) ::unlink(g_strTemp[slot]);
        ClearLive(slot);
    }
    if (error != 0) {
        Report("Error: Failed write %s (%s).\n", o.name, std::strerror(error));
        o.state = State::kLost;
        return kWriteFailed;
    }
    o.state = State::kCompleted;
    return flushed;
}

int32_t FinishOutputs(int32_t result) {
    if (result < 0 && result != kReadFailed) {
        AbortAllOutputs();
        return result;
    }
    int32_t first = result < 0 ? result : g_iLateFailure;
    if (first < 0 && first != kReadFailed) {
        AbortAllOutputs();
        return first;
    }
    for (uint32_t slot = 0; slot < kMaxOutputs; ++slot) {
        const int32_t closed = CloseOutput(slot);
        if (closed != 0 && first == 0) first = closed;
    }
    EndRun();
    return first;
}

void AbortAllOutputs() {
    for (uint32_t slot = 0; slot < kMaxOutputs; ++slot)
        if (g_ltOutput[slot].fd >= 0) Discard(slot);
    EndRun();
}

bool OutputNotWritten(const char* name) {
    if (name == nullptr) return false;
    for (const Output& o : g_ltOutput)
        if ((o.state == State::kLost || o.state == State::kRefused) && std::strcmp(o.name, name) == 0) return true;
    return false;
}

void SetWriteFunction(WriteFunction write) { g_pWrite = write; }

}  // namespace ts_detail

bool TS_OutputNotWritten(const char* name) { return ts_detail::OutputNotWritten(name); }

char g_strString1[TS_NAME_CAPACITY];
char g_strString2[TS_NAME_CAPACITY];

int32_t GetBaseFileName(char* dst, const char* src, size_t capacity) {
    if (dst == nullptr || src == nullptr) return -1;
    size_t n = std::strlen(src);
    if (n >= capacity) {
        if (capacity) dst[0] = '\0';
        return -2;
    }
    std::memcpy(dst, src, n + 1);
    // Cut at the last full stop of the file name proper, after the last directory separator;
    // full stops that begin the file name (a hidden file) are part of its name.
    size_t start = n;
    while (start > 0 && dst[start - 1] != '/' && dst[start - 1] != '\\') --start;
    while (dst[start] == '.') ++start;
    for (size_t i = n; i-- > start;) {
        if (dst[i] == '.') {
            dst[i] = '\0';
            break;
        }
    }
    return 0;
}

const char* TS_FailureReason(int error) {
    if (error == TS_FAILURE_IS_INPUT) return "is the input file";
    if (error == TS_FAILURE_INPUT_SHRANK) return "the file shrank while it was read";
    return std::strerror(error);
}

int TS_LastFailure(const char** name) {
    if (name) *name = ts_detail::g_strLastFailure;
    return ts_detail::g_iLastError;
}
