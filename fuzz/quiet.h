// Standard output of the fuzz targets goes to /dev/null: the printers and the dump write
// there, and it must stay writable but off the terminal.
#pragma once

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace fuzz {

inline void QuietStdout() {
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
        std::fflush(stdout);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
}

}  // namespace fuzz
