#!/usr/bin/env python3
"""Run a command; write "<seconds> <peak RSS KiB> <peak anonymous KiB>" to the file named first.

The peak RSS is the kernel's (getrusage of the child). It counts the pages of a mapped input
that the process touched, which stay in the page cache and are not the process's own memory;
the anonymous memory (RssAnon: heap, stacks, static buffers) is, and the kernel keeps no peak
of it, so it is sampled from /proc every few milliseconds while the command runs. The time
covers the child alone, not this interpreter's start.
"""

import os
import sys
import threading
import time


def rss_anon_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


def main():
    if len(sys.argv) < 3:
        print("usage: rusage.py RESULT_FILE COMMAND [ARG...]", file=sys.stderr)
        return 2
    anon = [0]
    done = threading.Event()
    t0 = time.perf_counter()
    try:
        pid = os.posix_spawnp(sys.argv[2], sys.argv[2:], os.environ)
    except OSError as e:
        print(f"rusage.py: {sys.argv[2]}: {e.strerror}", file=sys.stderr)
        return 127

    def sample():
        while not done.wait(0.005):
            anon[0] = max(anon[0], rss_anon_kib(pid))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - t0
    done.set()
    sampler.join()
    with open(sys.argv[1], "w") as f:
        f.write(f"{elapsed:.6f} {usage.ru_maxrss} {anon[0]}\n")  # ru_maxrss: KiB on Linux
    code = os.waitstatus_to_exitcode(status)
    return code if code >= 0 else 128 - code


if __name__ == "__main__":
    sys.exit(main())
