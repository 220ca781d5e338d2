#!/usr/bin/env python3
"""Snapshot of what the commands do on every shared stream, to show a change of the code
leaves their behaviour alone.

    tools/snapshot.py record DIR [--bin build/release] [--streams ../shared/streams] [--pipe]
    tools/snapshot.py compare DIR [--bin ...] [--streams ...] [--pipe]

For each stream of the streams folder and its real/ subfolder (used in place, through a
symlink in a scratch folder) it runs velkarin (listing, -a, -l, each listed CRC-32 with and
without an output name), velkarin-programs (list, -a, the copy by each PMT PID) and
velkarin-dump (the default, --packets, --flags 0x1FF, --runs, --runs --json), and keeps each
run's status, standard output, standard error and every file written (names and bytes, as a
SHA-256). With --pipe the input also comes through a pipe (the recorded cases whose command
reads standard input). `compare` runs the same and lists every difference; exit 1 if any.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile


def streams_of(folder):
    out = []
    for sub in (folder, os.path.join(folder, "real")):
        if os.path.isdir(sub):
            out += sorted(os.path.join(sub, f) for f in os.listdir(sub) if f.endswith((".ts", ".m2ts")))
    return out


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def run_case(bindir, stream, argv_of, pipe):
    """Runs one case in a fresh folder holding a link to `stream`; returns its record."""
    work = tempfile.mkdtemp(prefix="velkarin-snapshot-")
    try:
        name = os.path.basename(stream)
        os.symlink(os.path.abspath(stream), os.path.join(work, name))
        argv = argv_of(name)
        argv[0] = os.path.join(bindir, argv[0])
        stdin = None
        if pipe:
            argv = [a if a != name else "-" for a in argv]
            stdin = open(stream, "rb")
        p = subprocess.run(argv, cwd=work, stdin=stdin, capture_output=True, timeout=300)
        if stdin:
            stdin.close()
        files = {}
        for f in sorted(os.listdir(work)):
            if f != name:
                files[f] = digest(os.path.join(work, f))
        return {"status": p.returncode,
                "out": hashlib.sha256(p.stdout).hexdigest(), "out_head": p.stdout[:200].decode("latin-1"),
                "err": p.stderr.decode("latin-1").replace(work + "/", ""), "files": files}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def cases(bindir, stream):
    """The command lines for `stream` (each a function of the input name), by label."""
    name = os.path.basename(stream)
    out = {}
    out["velkarin"] = lambda n: ["velkarin", n]
    out["velkarin -a"] = lambda n: ["velkarin", n, "-a"]
    out["velkarin -l"] = lambda n: ["velkarin", n, "-l"]
    out["velkarin --keep-si -a"] = lambda n: ["velkarin", "--keep-si", n, "-a"]
    out["velkarin --json"] = lambda n: ["velkarin", "--json", n]
    work = tempfile.mkdtemp(prefix="velkarin-snapshot-")
    try:
        os.symlink(os.path.abspath(stream), os.path.join(work, name))
        text = subprocess.run([os.path.join(bindir, "velkarin"), name], cwd=work, capture_output=True).stdout.decode()
        progs = subprocess.run([os.path.join(bindir, "velkarin-programs"), name], cwd=work, capture_output=True).stdout.decode()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for crc in re.findall(r"CRC32:0x([0-9A-F]{8})", text):
        out["velkarin " + crc] = lambda n, c=crc: ["velkarin", n, c]
        out["velkarin " + crc + " piece.ts"] = lambda n, c=crc: ["velkarin", n, "0x" + c, "piece.ts"]
    out["velkarin-programs"] = lambda n: ["velkarin-programs", n]
    out["velkarin-programs -a"] = lambda n: ["velkarin-programs", n, "-a"]
    out["velkarin-programs --keep-si -a"] = lambda n: ["velkarin-programs", "--keep-si", n, "-a"]
    for pid in re.findall(r"pmt_pid=(0x[0-9A-F]{4})", progs):
        out["velkarin-programs " + pid] = lambda n, p=pid: ["velkarin-programs", n, p, "one.ts"]
    for flags in ([], ["--packets"], ["--flags", "0x1FF"], ["--runs"], ["--runs", "--json"],
                  ["--pat", "--pmt", "--pids"]):
        out["velkarin-dump " + " ".join(flags)] = lambda n, f=flags: ["velkarin-dump"] + f + [n]
    return out


def snapshot(bindir, folder, pipe):
    result = {}
    for stream in streams_of(folder):
        label = os.path.relpath(stream, folder)
        for case, argv_of in cases(bindir, stream).items():
            result[label + " | " + case] = run_case(bindir, stream, argv_of, False)
            if pipe:
                result[label + " | " + case + " | pipe"] = run_case(bindir, stream, argv_of, True)
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("mode", choices=["record", "compare"])
    ap.add_argument("dir")
    ap.add_argument("--bin", default="build/release")
    ap.add_argument("--streams", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "streams"))
    ap.add_argument("--pipe", action="store_true")
    args = ap.parse_args()
    now = snapshot(os.path.abspath(args.bin), args.streams, args.pipe)
    path = os.path.join(args.dir, "snapshot.json")
    if args.mode == "record":
        os.makedirs(args.dir, exist_ok=True)
        with open(path, "w") as f:
            json.dump(now, f, indent=1, sort_keys=True)
        print("snapshot: %d cases recorded in %s" % (len(now), path))
        return 0
    with open(path) as f:
        before = json.load(f)
    differences = 0
    for key in sorted(set(before) | set(now)):
        if before.get(key) != now.get(key):
            differences += 1
            b, n = before.get(key), now.get(key)
            if b is None or n is None:
                print("DIFF %s: only %s" % (key, "now" if b is None else "before"))
                continue
            for field in ("status", "out", "err", "files"):
                if b[field] != n[field]:
                    print("DIFF %s: %s\n  before: %s\n  now:    %s" % (key, field, str(b[field])[:300], str(n[field])[:300]))
    print("snapshot: %d cases, %d differ" % (len(now), differences))
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
