#!/usr/bin/env python3
"""Checks the commands of a build on every stream of ../shared/streams and its real/ folder.

Usage: check_outputs.py [BUILD_DIR] [--streams DIR] [--jobs N] [--keep DIR]

BUILD_DIR defaults to build/release; with build/sanitize any sanitizer report is a failure
too. The streams are read-only, so each command runs in a scratch directory of its own that
holds a symbolic link to the stream under its own name. Commands run on each stream:

  velkarin FILE, -a, -l, and FILE CRC for each CRC-32 listed
  velkarin-programs FILE, -a, and FILE PMT_PID OUT for each PMT PID listed
  velkarin-dump --pat --pmt --pids FILE, and --runs --json FILE

One line per check and stream, "ok" or "FAIL" with the reason; the exit status is 1 when a
check fails. The checks:

  commands     no crash, signal, sanitizer report, hang (60 s) or unexpected exit status
               (velkarin and velkarin-programs 0 or 1, 1 only with a message on standard
               error; the dump 0; --runs 0 or 1)
  whole-units  every file written holds whole units of the input's size, 0x47 at each
  subsequence  every file written consists only of packets of the input, in input order,
               each once (streams.Index: PID 0 may also be a well-formed PAT of its own)
  programs     velkarin-programs lists the (program_number, PMT PID) pairs of ffprobe's
               programs whose pmt_pid is not 0 (ffprobe adds programs from the SDT with
               pmt_pid 0; they are not in the PAT)
  pieces       every file of velkarin -a and velkarin-programs -a that holds an intact PMT
               opens in ffprobe, lists its program, and shows that program's streams. Rule,
               with P the PIDs of the streams ffprobe shows for the program in the piece, O
               those it shows for the program in the input, and R the elementary PIDs that
               the piece's own intact PMT sections of that program name (streams.py's
               parse): P must lie within R (no stream the piece's PMTs do not name) and must
               hold every PID of R that is also in O. PIDs of R outside O are not asked for:
               ffprobe leaves out some stream types, and in the input it accumulates the
               streams of several PMT versions, so O alone is no reference for a piece of
               one version. A stream ffprobe cannot probe in a short piece still appears in
               its program (with no codec), so it is not excused.
  pmt-pieces   no file of -a (either command) lacks an intact PMT (a file of PATs alone)
  sizes        the listing's size of each PMT is the whole MiB of the file -a writes for
               it, and -a writes a file for exactly the PMTs listed
  splits       -l writes the largest file of -a (the first listed of equal sizes), and the
               split by each CRC-32 writes the same bytes as -a for it
  runs-json    --runs --json parses; its bytes per CRC-32 equal the bytes -a wrote
  dump-pids    the PID list of the dump is the set of PIDs of the input's packets
  dump-pat     the PAT entries the dump prints are the entries of the input's intact PATs
  dump-pmt     each PMT the dump prints is an intact PMT of the input (by CRC-32), with
               every elementary PID that PMT names
"""

import argparse
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import streams  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CRASH_STATUS = 86
ENV = dict(os.environ,
           ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:exitcode=%d:halt_on_error=1" % CRASH_STATUS,
           UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=%d" % CRASH_STATUS)
TIMEOUT = 60
CHECKS = ["commands", "whole-units", "subsequence", "programs", "pieces", "pmt-pieces",
          "sizes", "splits", "runs-json", "dump-pids", "dump-pat", "dump-pmt"]


def ffprobe_programs(path):
    """{program_number: (pmt_pid, set of stream PIDs)} of ffprobe's programs with a PMT PID,
    or a string with ffprobe's complaint."""
    try:
        p = subprocess.run(["ffprobe", "-v", "error", "-show_programs", "-of", "json", path],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return "ffprobe hangs"
    if p.returncode:
        return "ffprobe fails (%d): %s" % (p.returncode, p.stderr.decode("utf-8", "replace").strip()[-200:])
    programs = {}
    for prog in json.loads(p.stdout.decode("utf-8", "replace")).get("programs", []):
        if prog.get("pmt_pid"):
            pids = {int(s["id"], 16) for s in prog.get("streams", []) if "id" in s}
            programs[prog["program_num"]] = (prog["pmt_pid"], pids)
    return programs


def pids_text(pids):
    return "{%s}" % ", ".join("0x%X" % p for p in sorted(pids))


class Run:
    def __init__(self, tag, folder, status, out, err, files):
        self.tag, self.dir, self.status, self.out, self.err, self.files = tag, folder, status, out, err, files

    def path(self, f):
        return os.path.join(self.dir, f)

    def read(self, f):
        with open(self.path(f), "rb") as h:
            return h.read()


class StreamCheck:
    def __init__(self, path, build, scratch):
        self.path = path
        self.name = os.path.basename(path)
        self.base = os.path.splitext(self.name)[0]
        self.build = build
        self.scratch = scratch
        self.problems = {c: [] for c in CHECKS}
        self.notes = {c: "" for c in CHECKS}
        self.runs = []

    def fail(self, check, why):
        self.problems[check].append(why)

    def run(self, tag, command, args, statuses):
        folder = os.path.join(self.scratch, tag)
        os.makedirs(folder)
        os.symlink(os.path.abspath(self.path), os.path.join(folder, self.name))
        argv = [os.path.join(self.build, command)] + [self.name if a is None else a for a in args]
        shown = " ".join([command] + [self.name if a is None else a for a in args])
        try:
            p = subprocess.run(argv, cwd=folder, env=ENV, timeout=TIMEOUT,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            status, out, err = p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            self.fail("commands", "%s hangs" % shown)
            status, out, err = None, "", ""
        if status is not None:
            if status < 0:
                self.fail("commands", "%s: killed by signal %d" % (shown, -status))
            elif status == CRASH_STATUS or "Sanitizer" in err or "runtime error" in err:
                line = next((l for l in err.splitlines() if "Sanitizer" in l or "runtime error" in l), "")
                self.fail("commands", "%s: sanitizer report: %s" % (shown, line.strip()))
            elif status not in statuses:
                self.fail("commands", "%s: exit status %d" % (shown, status))
            elif status == 1 and not err.strip():
                self.fail("commands", "%s: exit status 1 without a message" % shown)
        files = sorted(f for f in os.listdir(folder) if f != self.name)
        r = Run(shown, folder, status, out, err, files)
        self.runs.append(r)
        return r

    def check(self):
        with open(self.path, "rb") as h:
            data = h.read()
        st = streams.Stream(data)
        self.stream = st
        index = streams.Index(st)
        probe = ffprobe_programs(self.path)

        listing = self.run("list", "velkarin", [None], (0, 1))
        split_a = self.run("a", "velkarin", [None, "-a"], (0, 1))
        largest = self.run("l", "velkarin", [None, "-l"], (0, 1))
        listed = [(int(c, 16), int(s)) for c, s in re.findall(r"PMT CRC32:0x([0-9A-F]{8}) size:(-?\d+)MB", listing.out)]
        by_crc = [self.run("crc%d" % k, "velkarin", [None, "%08X" % crc], (0, 1)) for k, (crc, _) in enumerate(listed)]
        programs = self.run("programs", "velkarin-programs", [None], (0, 1))
        pairs = [(int(n), int(p, 16)) for n, p in re.findall(r"program_number=(\d+) pmt_pid=0x([0-9A-Fa-f]+)", programs.out)]
        programs_a = self.run("programs-a", "velkarin-programs", [None, "-a"], (0, 1))
        copies = [self.run("copy%d" % k, "velkarin-programs", [None, "0x%X" % pid, "out.ts"], (0, 1))
                  for k, pid in enumerate(sorted({p for _, p in pairs}))]
        dump = self.run("dump", "velkarin-dump", ["--pat", "--pmt", "--pids", None], (0,))
        runs = self.run("runs", "velkarin-dump", ["--runs", "--json", None], (0, 1))

        # Every file written: whole units, and a subsequence of the input.
        seen, whole = {}, 0
        for r in self.runs:
            for f in r.files:
                out = r.read(f)
                where = "%s: %s" % (r.tag, f)
                if len(out) % st.unit or any(out[k] != streams.SYNC for k in range(st.lead, len(out), st.unit)):
                    bad = next((k for k in range(st.lead, len(out) - len(out) % st.unit, st.unit) if out[k] != streams.SYNC), None)
                    self.fail("whole-units", "%s: %d bytes, %s" % (where, len(out), "no sync byte at %d" % bad if bad is not None else "not whole %d-byte units" % st.unit))
                    continue
                whole += 1
                if out not in seen:
                    seen[out] = index.check(out)
                why = seen[out]
                if why:
                    self.fail("subsequence", "%s: %s" % (where, why))
        count = sum(len(r.files) for r in self.runs)
        self.notes["whole-units"] = "%d files" % count
        self.notes["subsequence"] = "%d files" % whole if whole == count else "%d of %d files, the others not whole units" % (whole, count)

        # The program list against ffprobe's.
        if isinstance(probe, str):
            self.fail("programs", probe)
        else:
            theirs = {(n, pid) for n, (pid, _) in probe.items()}
            ours = set(pairs)
            if ours != theirs:
                missing, extra = sorted(theirs - ours), sorted(ours - theirs)
                self.fail("programs", "velkarin-programs lists %d, ffprobe %d%s%s" % (
                    len(ours), len(theirs),
                    "; missing " + ", ".join("%d/0x%X" % e for e in missing) if missing else "",
                    "; not in ffprobe " + ", ".join("%d/0x%X" % e for e in extra) if extra else ""))
            self.notes["programs"] = "%d programs" % len(ours)

        # The pieces of -a.
        pieces = 0
        for r, kind in ((split_a, "velkarin -a"), (programs_a, "velkarin-programs -a")):
            for f in r.files:
                piece = streams.Stream(r.read(f), st.unit)
                if not piece.pmts:
                    self.fail("pmt-pieces", "%s: %s holds no intact PMT" % (kind, f))
                    continue
                pieces += 1
                self.check_piece(kind, r, f, piece, probe)
        self.notes["pieces"] = "%d pieces" % pieces

        # Listing sizes and the splits.
        a_files = {f: len(split_a.read(f)) for f in split_a.files}
        wanted = {"%s_%08X.ts" % (self.base, crc): mib for crc, mib in listed}
        if set(a_files) != set(wanted):
            self.fail("sizes", "-a wrote %s, the listing names %s" % (sorted(a_files), sorted(wanted)))
        for f, mib in wanted.items():
            if f in a_files and a_files[f] >> 20 != mib:
                self.fail("sizes", "%s: listed %d MB, -a wrote %d bytes" % (f, mib, a_files[f]))
        self.notes["sizes"] = "%d PMTs listed" % len(listed)
        if listed:
            best = max(listed, key=lambda e: (a_files.get("%s_%08X.ts" % (self.base, e[0]), -1), -listed.index(e)))
            source = "%s_%08X.ts" % (self.base, best[0])
            self.compare("splits", largest, self.base + "_L.ts", split_a, source)
            for (crc, _), r in zip(listed, by_crc):
                f = "%s_%08X.ts" % (self.base, crc)
                self.compare("splits", r, f, split_a, f)
        elif largest.files:
            self.fail("splits", "-l wrote %s with nothing listed" % largest.files)

        # The run report.
        if runs.status == 0:
            try:
                report = json.loads(runs.out)
                sums = {}
                for run in report["runs"]:
                    sums[int(run["crc32"], 16)] = sums.get(int(run["crc32"], 16), 0) + run["bytes"]
                got = {"%s_%08X.ts" % (self.base, crc): n for crc, n in sums.items()}
                if got != a_files:
                    self.fail("runs-json", "bytes per CRC-32 %s, -a wrote %s" % (got, a_files))
                self.notes["runs-json"] = "%d runs" % len(report["runs"])
            except (ValueError, KeyError, TypeError) as e:
                self.fail("runs-json", "does not parse: %s" % e)
        else:
            self.notes["runs-json"] = "no runs (exit %s: %s)" % (runs.status, runs.err.strip().splitlines()[-1] if runs.err.strip() else "")

        self.check_dump(dump)
        return self.report()

    def check_piece(self, kind, r, f, piece, probe):
        where = "%s: %s" % (kind, f)
        numbers = {v[1] for v in piece.pmts.values()}
        if kind == "velkarin -a":
            m = re.search(r"_([0-9A-F]{8})\.ts$", f)
            crc = int(m.group(1), 16) if m else None
            if set(piece.pmts) != {crc}:
                self.fail("pieces", "%s: holds the PMTs %s" % (where, sorted("%08X" % c for c in piece.pmts)))
                return
        else:
            m = re.search(r"_(\d+)_\d+_\d+\.ts$", f)
            if not m or numbers != {int(m.group(1))}:
                self.fail("pieces", "%s: holds PMTs of the programs %s" % (where, sorted(numbers)))
                return
        number = next(iter(numbers))
        if isinstance(probe, str) or number not in probe:
            self.fail("pieces", "%s: ffprobe does not list program %d in the input" % (where, number))
            return
        theirs = ffprobe_programs(r.path(f))
        if isinstance(theirs, str):
            self.fail("pieces", "%s: %s" % (where, theirs))
            return
        if number not in theirs:
            self.fail("pieces", "%s: ffprobe lists the programs %s, not %d" % (where, sorted(theirs), number))
            return
        shown = theirs[number][1]
        named = piece.es_pids(crc for crc, v in piece.pmts.items() if v[1] == number)
        wanted = named & probe[number][1]
        if not shown <= named or not wanted <= shown:
            self.fail("pieces", "%s: ffprobe shows %s; the piece's PMT names %s, ffprobe shows %s in the input%s%s" % (
                where, pids_text(shown), pids_text(named), pids_text(probe[number][1]),
                "; missing " + pids_text(wanted - shown) if wanted - shown else "",
                "; not named " + pids_text(shown - named) if shown - named else ""))

    def compare(self, check, r, f, ref, ref_f):
        if f not in r.files:
            self.fail(check, "%s wrote no %s" % (r.tag, f))
        elif ref_f not in ref.files:
            self.fail(check, "%s: no %s from -a to compare with" % (r.tag, ref_f))
        elif r.read(f) != ref.read(ref_f):
            self.fail(check, "%s: %s (%d bytes) differs from -a's %s (%d bytes)" % (
                r.tag, f, os.path.getsize(r.path(f)), ref_f, os.path.getsize(ref.path(ref_f))))

    def check_dump(self, dump):
        st = self.stream
        text = dump.out
        listed = set()
        if "PID List:" in text:
            listed = {int(p, 16) for p in re.findall(r"^\s+0x([0-9A-F]{4}),\s*$", text.split("PID List:")[-1], re.M)}
        if listed != st.pids:
            self.fail("dump-pids", "lists %d PIDs, the input has %d%s%s" % (
                len(listed), len(st.pids),
                "; missing " + pids_text(st.pids - listed) if st.pids - listed else "",
                "; not in the input " + pids_text(listed - st.pids) if listed - st.pids else ""))
        self.notes["dump-pids"] = "%d PIDs" % len(st.pids)

        entries = {(int(n), int(p, 16)) for n, p in re.findall(r"^\s+PN:(\d+) R3:\d+ (?:NETPID|PMTPID):0x([0-9A-F]+)", text, re.M)}
        if entries != set(st.pat_entries):
            mine = set(st.pat_entries)
            self.fail("dump-pat", "prints %d PAT entries, the input's PATs hold %d%s%s" % (
                len(entries), len(mine),
                "; missing " + ", ".join("%d/0x%X" % e for e in sorted(mine - entries)) if mine - entries else "",
                "; not in the input " + ", ".join("%d/0x%X" % e for e in sorted(entries - mine)) if entries - mine else ""))
        self.notes["dump-pat"] = "%d entries" % len(st.pat_entries)

        printed = 0
        for m in re.finditer(r"^\[PMT\](.*?)^\s+CRC32:0x([0-9A-F]{8})", text, re.M | re.S):
            printed += 1
            crc = int(m.group(2), 16)
            epids = {int(p, 16) for p in re.findall(r"EPID:0x([0-9A-F]+)", m.group(1))}
            if crc not in st.pmts:
                self.fail("dump-pmt", "prints a PMT with CRC-32 %08X that is no intact PMT of the input" % crc)
                continue
            named = {pid for _, pid in st.pmts[crc][3]}
            if epids != named:
                self.fail("dump-pmt", "PMT %08X: prints %d streams, it names %d%s%s" % (
                    crc, len(epids), len(named),
                    "; missing " + pids_text(named - epids) if named - epids else "",
                    "; not named " + pids_text(epids - named) if epids - named else ""))
        self.notes["dump-pmt"] = "%d PMT sections printed" % printed

    def report(self):
        lines = []
        for c in CHECKS:
            problems = list(dict.fromkeys(self.problems[c]))
            if problems:
                shown = problems[:3] + (["and %d more" % (len(problems) - 3)] if len(problems) > 3 else [])
                lines.append("FAIL %-12s %s: %s" % (c, self.name, "; ".join(shown)))
            else:
                lines.append("ok   %-12s %s%s" % (c, self.name, " (%s)" % self.notes[c] if self.notes[c] else ""))
        return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build", nargs="?", default=os.path.join(ROOT, "build", "release"))
    ap.add_argument("--streams", default=os.path.join(ROOT, "..", "shared", "streams"))
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--keep", help="keep the scratch directories under this folder")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)

    for command in ("velkarin", "velkarin-programs", "velkarin-dump"):
        if not os.access(os.path.join(args.build, command), os.X_OK):
            print("check_outputs: no %s in %s" % (command, args.build), file=sys.stderr)
            return 2
    if shutil.which("ffprobe") is None:
        print("check_outputs: ffprobe is not installed", file=sys.stderr)
        return 2
    paths = []
    for folder in (args.streams, os.path.join(args.streams, "real")):
        if os.path.isdir(folder):
            paths += sorted(os.path.join(folder, f) for f in os.listdir(folder)
                            if f.endswith(".ts") or f.endswith(".m2ts"))
    if not paths:
        print("check_outputs: no streams in %s; nothing checked" % args.streams, file=sys.stderr)
        return 2

    scratch = args.keep or tempfile.mkdtemp(prefix="velkarin-check-")
    os.makedirs(scratch, exist_ok=True)

    def one(k):
        folder = os.path.join(scratch, "%02d-%s" % (k, os.path.basename(paths[k])))
        shutil.rmtree(folder, ignore_errors=True)
        try:
            return StreamCheck(paths[k], args.build, folder).check()
        finally:
            if not args.keep:
                shutil.rmtree(folder, ignore_errors=True)

    failed = 0
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            for lines in pool.map(one, range(len(paths))):
                for line in lines:
                    print(line)
                    failed += line.startswith("FAIL")
                sys.stdout.flush()
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)
    print("check_outputs: %d streams, %d checks, %d failed" % (len(paths), len(paths) * len(CHECKS), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
