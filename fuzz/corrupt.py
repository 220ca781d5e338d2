#!/usr/bin/env python3
"""Corruption run: seeded mutations of a window of each stream, each run through the
commands built with the sanitizers. The streams are those of --streams and of its real/
folder (captures in 188-, 192- and 204-byte units). A mutation fails when a command crashes
(a sanitizer report, a signal, an unexpected exit status) or hangs; when a file it writes is
not a subsequence of the mutated input's packets (streams.Index: whole units, each a packet
of the input as the resynchronisation rule of streams.py reads it, in input order, each once;
PID 0 also a well-formed PAT of the command's own); when the survey's size of a PMT (exact,
from pmt-sizes; in MiB, from the listing; per run, from the run report's JSON) differs from
the bytes -a, -l or a CRC split write for it; or when that JSON does not parse.

Usage: corrupt.py --bin DIR --sizes PMT_SIZES [--streams DIR] [--count N] [--seed S]
                  [--budget SECONDS] [--jobs N] [--failures DIR]
"""

import argparse
import concurrent.futures
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import streams  # noqa: E402

CRASH_STATUS = 86  # what the sanitizers exit with here, apart from every command's own
ENV = dict(os.environ,
           ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:exitcode=%d:halt_on_error=1" % CRASH_STATUS,
           UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=%d" % CRASH_STATUS)
TIMEOUT = 60
WINDOW = 320 * 1024  # more than one read of the scan (256 KiB)


def window_of(path):
    """A window of the stream around its first PMT change (its start when there is none)."""
    with open(path, "rb") as f:
        data = f.read(16 << 20)
    unit = streams.unit_size(data)
    changes = streams.pmt_changes(data, unit, limit=1)
    start = max(0, changes[0] - WINDOW // 2) if changes else 0
    return streams.window(data, unit, start, WINDOW), unit


# Mutations. Each takes the bytes, the unit and a random generator; returns new bytes and a
# description.
def bit_flips(data, unit, rng):
    data = bytearray(data)
    n = rng.choice([1, 1, 2, 4, 16, 64])
    for _ in range(n):
        at = rng.randrange(len(data))
        data[at] ^= 1 << rng.randrange(8)
    return bytes(data), "flip %d bits" % n


def byte_smash(data, unit, rng):
    data = bytearray(data)
    n = rng.choice([1, 2, 8, 32])
    for _ in range(n):
        at = rng.randrange(len(data))
        data[at] = rng.choice([0x00, 0xFF, 0x47, rng.randrange(256)])
    return bytes(data), "set %d bytes" % n


def insert_bytes(data, unit, rng):
    at = rng.randrange(len(data) + 1)
    n = rng.choice([1, 3, 4, 16, 100, 187, 188, 192, 204, 400])
    junk = bytes(rng.choice([0x47, rng.randrange(256)]) for _ in range(n))
    return data[:at] + junk + data[at:], "insert %d bytes at %d" % (n, at)


def delete_bytes(data, unit, rng):
    at = rng.randrange(len(data))
    n = rng.choice([1, 4, 16, 100, 187, 188, 192, 204, 1000])
    return data[:at] + data[at + n:], "delete %d bytes at %d" % (n, at)


def drop_packets(data, unit, rng):
    count = len(data) // unit
    if count < 2:
        return data, "no packet to drop"
    k = rng.randrange(count)
    n = rng.choice([1, 1, 2, 5, 20])
    return data[:k * unit] + data[(k + n) * unit:], "drop %d packets at %d" % (n, k)


def duplicate_packets(data, unit, rng):
    count = len(data) // unit
    if count < 1:
        return data, "no packet to duplicate"
    k = rng.randrange(count)
    n = rng.choice([1, 1, 2, 5])
    piece = data[k * unit:(k + n) * unit]
    return data[:k * unit] + piece * rng.choice([2, 3]) + data[(k + n) * unit:], "duplicate %d packets at %d" % (n, k)


def cut(data, unit, rng):
    at = rng.randrange(len(data) + 1)
    return data[:at], "cut at %d" % at


def pat_sections(data, unit, rng):
    data, n = streams.pat_variants(data, unit, rng)
    return data, "%d PATs in two sections with a version not yet applicable" % n


MUTATIONS = [bit_flips, byte_smash, insert_bytes, delete_bytes, drop_packets, duplicate_packets, cut, pat_sections]


def mutate(data, unit, rng):
    steps = []
    for _ in range(rng.choice([1, 1, 2, 3, 5])):
        if not data:
            break
        data, what = rng.choice(MUTATIONS)(data, unit, rng)
        steps.append(what)
    return data, steps


class Checker:
    def __init__(self, args, workdir, input_name, data, unit):
        self.args = args
        self.dir = workdir
        self.input = os.path.join(workdir, input_name)
        self.base = os.path.splitext(self.input)[0]
        self.unit = unit
        self.index = streams.Index(streams.Stream(data, unit))
        self.runs = 0
        self.problems = []

    def run(self, name, argv, statuses, capture=True):
        """Runs one command; records a crash, a hang or an unexpected status."""
        self.runs += 1
        try:
            p = subprocess.run(argv, cwd=self.dir, env=ENV, timeout=TIMEOUT,
                               stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
        except subprocess.TimeoutExpired:
            self.problems.append("%s: hangs (over %d s)" % (name, TIMEOUT))
            return None
        err = p.stderr.decode("utf-8", "replace")
        if p.returncode < 0:
            self.problems.append("%s: killed by signal %d\n%s" % (name, -p.returncode, err[-3000:]))
        elif p.returncode == CRASH_STATUS or "Sanitizer" in err or "runtime error" in err:
            self.problems.append("%s: sanitizer report\n%s" % (name, err[-3000:]))
        elif p.returncode not in statuses:
            self.problems.append("%s: exit status %d\n%s" % (name, p.returncode, err[-1000:]))
        return p

    def outputs(self):
        return sorted(f for f in os.listdir(self.dir) if os.path.join(self.dir, f) != self.input)

    def check_packets(self, name, files):
        """Every file holds only packets of the input, in input order, each once."""
        for f in files:
            with open(os.path.join(self.dir, f), "rb") as h:
                why = self.index.check(h.read())
            if why:
                self.problems.append("%s: %s: %s" % (name, f, why))

    def clean(self):
        for f in self.outputs():
            os.unlink(os.path.join(self.dir, f))

    def size_of(self, f):
        path = os.path.join(self.dir, f)
        return os.path.getsize(path) if os.path.exists(path) else None

    def survey(self):
        p = self.run("pmt-sizes", [self.args.sizes, self.input], (0,))
        totals, result, runs = {}, None, 0
        if p is None or p.returncode != 0:
            return totals, result, runs
        for line in p.stdout.decode().splitlines():
            parts = line.split()
            if parts[0] == "result":
                result = int(parts[1])
            elif parts[0] == "runs":
                runs = int(parts[1])
            else:
                totals[int(parts[0], 16)] = int(parts[1])
        return totals, result, runs

    def check(self, rng):
        b = self.args.bin
        velkarin = os.path.join(b, "velkarin")
        totals, result, runs = self.survey()
        # Sizes prove something only when the survey's table of distinct PMTs did not overflow;
        # the run report's, when it holds every run.
        exact = result in (0, -3) and len(totals) < 256
        exact_runs = exact and runs <= 256

        p = self.run("velkarin (listing)", [velkarin, self.input], (0, 1))
        if p is not None and exact:
            listed = {}
            for m in re.finditer(r"PMT CRC32:0x([0-9A-F]{8}) size:(-?\d+)MB", p.stdout.decode()):
                listed[int(m.group(1), 16)] = int(m.group(2))
            expected = {crc: size >> 20 for crc, size in totals.items()}
            if listed != expected:
                self.problems.append("listing %s differs from the survey %s" % (listed, expected))
        self.check_packets("listing", self.outputs())
        self.clean()

        self.run("velkarin -a", [velkarin, self.input, "-a"], (0, 1))
        files = self.outputs()
        self.check_packets("-a", files)
        if exact:
            wanted = {"%s_%08X.ts" % (os.path.basename(self.base), crc): size for crc, size in totals.items()}
            got = {f: self.size_of(f) for f in files}
            if got != wanted:
                self.problems.append("-a wrote %s, the survey says %s" % (got, wanted))
        self.clean()

        self.run("velkarin -l", [velkarin, self.input, "-l"], (0, 1))
        files = self.outputs()
        self.check_packets("-l", files)
        if exact and result == 0 and totals:
            largest = max(totals.values())
            got = self.size_of(os.path.basename(self.base) + "_L.ts")
            if got != largest:
                self.problems.append("-l wrote %s bytes, the largest PMT has %d" % (got, largest))
        self.clean()

        crc = rng.choice(sorted(totals)) if totals and rng.random() < 0.9 else rng.getrandbits(32)
        named = rng.random() < 0.3
        argv = [velkarin, self.input, "%08X" % crc] + (["piece.ts"] if named else [])
        self.run("velkarin CRC", argv, (0, 1))
        files = self.outputs()
        self.check_packets("CRC split", files)
        if exact:
            out = "piece.ts" if named else "%s_%08X.ts" % (os.path.basename(self.base), crc)
            got = self.size_of(out)
            if got != totals.get(crc):
                self.problems.append("CRC split %08X wrote %s bytes, the survey says %s" % (crc, got, totals.get(crc)))
        self.clean()

        programs = os.path.join(b, "velkarin-programs")
        if os.path.exists(programs):
            p = self.run("velkarin-programs (list)", [programs, self.input], (0, 1))
            pids = []
            if p is not None:
                pids = [int(m, 16) for m in re.findall(r"pmt_pid=0x([0-9A-F]{4})", p.stdout.decode())]
            self.run("velkarin-programs -a", [programs, self.input, "-a"], (0, 1))
            self.check_packets("velkarin-programs -a", self.outputs())
            self.clean()
            pid = rng.choice(pids) if pids and rng.random() < 0.9 else rng.randrange(0x2000)
            self.run("velkarin-programs PID", [programs, self.input, "0x%X" % pid, "program.ts"], (0, 1))
            self.check_packets("velkarin-programs PID", self.outputs())
            self.clean()

        dump = os.path.join(b, "velkarin-dump")
        if os.path.exists(dump):
            self.run("velkarin-dump", [dump, "--flags", "0x1FF", self.input], (0,), capture=False)
            self.run("velkarin-dump --runs", [dump, "--runs", self.input], (0, 1), capture=False)
            p = self.run("velkarin-dump --runs --json", [dump, "--runs", "--json", self.input], (0, 1))
            if p is not None and p.returncode == 0:
                # The run report walks with the survey's rules: the same bytes per PMT.
                try:
                    report = json.loads(p.stdout.decode("utf-8"))
                except (ValueError, UnicodeDecodeError) as e:
                    self.problems.append("--runs --json is not valid JSON: %s" % e)
                    report = None
                if report is not None and exact_runs:
                    sums = {}
                    for r in report["runs"]:
                        crc = int(r["crc32"], 16)
                        sums[crc] = sums.get(crc, 0) + r["bytes"]
                    if sums != totals:
                        self.problems.append("--runs sizes %s differ from the survey %s" % (sums, totals))
            self.check_packets("velkarin-dump", self.outputs())
            self.clean()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", required=True, help="folder of the sanitizer build's commands")
    ap.add_argument("--sizes", required=True, help="the pmt-sizes helper")
    ap.add_argument("--streams", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "streams"))
    ap.add_argument("--count", type=int, default=4000, help="mutations in all")
    ap.add_argument("--seed", type=int, default=20240)
    ap.add_argument("--budget", type=float, default=0, help="stop starting mutations after this many seconds")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--failures", default="corrupt-failures", help="where failing inputs are kept")
    args = ap.parse_args()
    args.bin, args.sizes = os.path.abspath(args.bin), os.path.abspath(args.sizes)

    paths = []
    for folder in (args.streams, os.path.join(args.streams, "real")):
        if os.path.isdir(folder):
            paths += sorted(os.path.join(folder, f) for f in os.listdir(folder)
                            if f.endswith(".ts") or f.endswith(".m2ts"))
    seeds_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")
    if not paths:
        print("corrupt: no streams in %s; using the seeds of %s" % (args.streams, seeds_dir))
        paths = sorted(os.path.join(seeds_dir, f) for f in os.listdir(seeds_dir))
    windows = [(os.path.basename(p),) + window_of(p) for p in paths]

    start = time.monotonic()
    lock = threading.Lock()
    totals = {"mutations": 0, "runs": 0, "failures": 0, "skipped": 0}
    scratch = tempfile.mkdtemp(prefix="velkarin-corrupt-")

    def one(i):
        if args.budget and time.monotonic() - start > args.budget:
            with lock:
                totals["skipped"] += 1
            return
        name, data, unit = windows[i % len(windows)]
        rng = random.Random(args.seed * 1000003 + i)
        mutated, steps = mutate(data, unit, rng)
        workdir = os.path.join(scratch, str(i))
        os.mkdir(workdir)
        input_name = "rec" + os.path.splitext(name)[1]
        with open(os.path.join(workdir, input_name), "wb") as f:
            f.write(mutated)
        c = Checker(args, workdir, input_name, mutated, unit)
        c.check(rng)
        with lock:
            totals["mutations"] += 1
            totals["runs"] += c.runs
            if c.problems:
                totals["failures"] += 1
                os.makedirs(args.failures, exist_ok=True)
                keep = os.path.join(args.failures, "%s-%d%s" % (os.path.splitext(name)[0], i, os.path.splitext(name)[1]))
                shutil.copyfile(os.path.join(workdir, input_name), keep)
                print("FAIL %s mutation %d (%s): kept as %s" % (name, i, "; ".join(steps), keep))
                for problem in c.problems:
                    print("  " + problem.replace("\n", "\n    "))
                sys.stdout.flush()
        shutil.rmtree(workdir, ignore_errors=True)

    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            for f in concurrent.futures.as_completed([pool.submit(one, i) for i in range(args.count)]):
                f.result()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    elapsed = time.monotonic() - start
    print("corruption run: %d streams, %d mutations, %d runs, %d failures, %.0f s%s" % (
        len(windows), totals["mutations"], totals["runs"], totals["failures"], elapsed,
        ", %d mutations left out by the time budget" % totals["skipped"] if totals["skipped"] else ""))
    return 1 if totals["failures"] else 0


if __name__ == "__main__":
    sys.exit(main())
