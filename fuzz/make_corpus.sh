#!/usr/bin/env bash
# make_corpus.sh OUTDIR [STREAMS_DIR]: seed corpora for the fuzz targets, one folder per
# target under OUTDIR. Small pieces (a few KB: the start, each PMT change from the PAT before
# it, the PSI packets) of the streams in STREAMS_DIR (default ../shared/streams beside the
# repository) and in its real/ folder of captures (188-, 192- and 204-byte units), plus the
# seeds kept in fuzz/seeds. Nothing here is committed.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="${1:?usage: make_corpus.sh OUTDIR [STREAMS_DIR]}"
streams="${2:-$here/../../shared/streams}"
mkdir -p "$out"

python3 - "$here" "$out" "$streams" <<'PY'
import glob, os, sys
here, out, streams_dir = sys.argv[1:4]
sys.path.insert(0, here)
import streams

# Options byte in front of the file for each target (see the targets' comments).
prefixes = {
    "packet": [None],
    "sections": [b"\x01", b"\x05", b"\x09"],
    "survey": [b"\x00"],
    "pmt_split": [b"\x00", b"\x12"],
    "program_list": [b"\x00"],
    "program_split_file": [b"\x00"],
    "program_split_stream": [b"\x00", b"\x02"],
    "dump": [b"\x00"],
}
pieces = []
files = []
for folder in (streams_dir, os.path.join(streams_dir, "real")):
    files += sorted(glob.glob(os.path.join(folder, "*.ts")) + glob.glob(os.path.join(folder, "*.m2ts")))
for path in files:
    with open(path, "rb") as f:
        data = f.read(16 << 20)  # the changes lie in the first few MB
    name = os.path.basename(path).replace(".", "_")
    for label, piece in streams.corpus_pieces(data):
        pieces.append(("%s_%s" % (name, label), piece))
for path in sorted(glob.glob(os.path.join(here, "seeds", "*"))):
    with open(path, "rb") as f:
        pieces.append(("seed_" + os.path.basename(path).replace(".", "_"), f.read()))
for target, options in prefixes.items():
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    for name, piece in pieces:
        for n, prefix in enumerate(options):
            data = piece if prefix is None else prefix + piece
            with open(os.path.join(folder, "%s_%d" % (name, n)), "wb") as f:
                f.write(data)
print("%d pieces from %d streams into %s" % (len(pieces), len(files), out))
PY
