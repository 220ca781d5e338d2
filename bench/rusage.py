#!/usr/bin/env python3
"""Run a command; write "<seconds> <peak RSS in KiB>" to the file named first.

Used by run.sh where /usr/bin/time is missing.  The time covers the child
alone, not this interpreter's start.
"""

import resource
import subprocess
import sys
import time


def main():
    if len(sys.argv) < 3:
        print("usage: rusage.py RESULT_FILE COMMAND [ARG...]", file=sys.stderr)
        return 2
    t0 = time.perf_counter()
    rc = subprocess.call(sys.argv[2:])
    elapsed = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss  # KiB on Linux
    with open(sys.argv[1], "w") as f:
        f.write(f"{elapsed:.6f} {peak}\n")
    return rc if rc >= 0 else 128 - rc


if __name__ == "__main__":
    sys.exit(main())
