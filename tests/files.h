// Test helpers around files and commands: a scratch directory removed at the end, whole-file
// reads and writes, the shared sample streams, and running a built command with its standard
// output and error captured.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testfiles {

namespace fs = std::filesystem;

inline std::vector<uint8_t> Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string ReadText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <class Container>
inline void Write(const fs::path& p, const Container& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A fresh directory under the system's temporary directory, removed with its contents.
struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "velkarin-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    fs::path operator/(const std::string& name) const { return path / name; }
};

// A file holding `bytes`, in a scratch directory of its own.
struct ScratchFile {
    ScratchDir dir;
    std::string path;
    template <class Container>
    explicit ScratchFile(const Container& bytes) : path((dir / "stream.ts").string()) { Write(path, bytes); }
};

// A sample stream of ../shared/streams, or an empty path when that folder is absent.
inline fs::path SharedStream(const std::string& name) {
    fs::path p = fs::path(VELKARIN_STREAMS_DIR) / name;
    return fs::exists(p) ? p : fs::path();
}

#define REQUIRE_SHARED_STREAM(var, name)                                                     \
    const auto var = testfiles::SharedStream(name);                                          \
    if (var.empty()) GTEST_SKIP() << "../shared/streams/" << name << " is absent; skipped"

struct Result {
    int status = -1;
    std::string out, err;
};

// Starts a built command of the project (VELKARIN_BIN_DIR/<name>) with `args`, in `cwd`,
// its standard output and error sent to `out` and `err`, SIGINT, SIGTERM and SIGHUP at their
// defaults.
inline pid_t StartCommand(const std::string& name, const std::vector<std::string>& args, const fs::path& cwd,
                          const fs::path& out, const fs::path& err) {
    pid_t pid = ::fork();
    if (pid == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
        int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (o < 0 || e < 0) ::_exit(127);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::string bin = std::string(VELKARIN_BIN_DIR) + "/" + name;
        std::vector<char*> argv{bin.data()};
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(bin.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

// Runs a built command with `args`, in `cwd`, with standard output sent to `stdout_path`
// when given (to test write failures).
inline Result RunCommand(const std::string& name, const std::vector<std::string>& args,
                  const fs::path& cwd = {}, const std::string& stdout_path = {}) {
    ScratchDir capture;
    fs::path out = stdout_path.empty() ? capture / "out" : fs::path(stdout_path);
    pid_t pid = StartCommand(name, args, cwd, out, capture / "err");
    Result r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (stdout_path.empty()) r.out = ReadText(out);
    r.err = ReadText(capture / "err");
    return r;
}

}  // namespace testfiles
