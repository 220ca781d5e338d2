#!/usr/bin/env bash
# Throughput and peak memory of velkarin, velkarin-programs and velkarin-dump
# on a generated stream of about 1 GiB held in the page cache, against cat.
# See bench/README.md.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")

runs=3
scratch=${BENCH_SCRATCH:-/tmp}
keep=0
size_mib=1024
build_dir=$repo/build/release
build=1
peers=1
install=1

usage() {
    cat <<EOF
Usage: bench/run.sh [OPTIONS]
  -n, --runs N        timed runs per command, the best is kept (default 3)
  --scratch DIR       where the stream and the outputs go (default /tmp,
                      or \$BENCH_SCRATCH)
  --keep              keep the scratch directory
  --size MIB          size of the stream in MiB (default 1024)
  --build-dir DIR     release build directory (default build/release)
  --no-build          use the binaries already in the build directory
  --no-peers          skip the peers (ffprobe, FFmpeg's copy remux, tstools' tsfilter)
  --no-install        do not install missing peers (by default they are installed
                      with apt-get when running as root)
  -h, --help          this text
Exit status: 0 when every command measured meets its targets, 1 when one
misses a target or fails or none is built, 2 on a setup error.
EOF
}

while [ $# -gt 0 ]; do
    case $1 in
        -n|--runs) runs=$2; shift 2 ;;
        --scratch) scratch=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        --size) size_mib=$2; shift 2 ;;
        --build-dir) build_dir=$2; shift 2 ;;
        --no-build) build=0; shift ;;
        --no-peers) peers=0; shift ;;
        --no-install) install=0; shift ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done
case $runs in ''|*[!0-9]*|0) echo "bench: --runs wants a positive number" >&2; exit 2 ;; esac
case $size_mib in ''|*[!0-9]*|0) echo "bench: --size wants a positive number" >&2; exit 2 ;; esac

die() { echo "bench: $*" >&2; exit 2; }

commands=(velkarin velkarin-programs velkarin-dump)
declare -A state   # per command: ok, "not built" or "build failed"

# --- build -----------------------------------------------------------------
if [ $build = 1 ]; then
    if [ ! -f "$build_dir/build.ninja" ]; then
        echo "== configuring $build_dir (release preset)"
        (cd "$repo" && cmake --preset release -B "$build_dir" >/dev/null) ||
            die "configure failed"
    fi
    for c in "${commands[@]}"; do
        [ -f "$repo/app/$c.cpp" ] || continue
        echo "== building $c"
        if ! cmake --build "$build_dir" --target "$c" -j2 >"$build_dir/bench-build-$c.log" 2>&1; then
            state[$c]="build failed"
            echo "   build failed, see $build_dir/bench-build-$c.log"
        fi
    done
fi
for c in "${commands[@]}"; do
    if [ -z "${state[$c]:-}" ]; then
        if [ -x "$build_dir/$c" ]; then state[$c]=ok; else state[$c]="not built"; fi
    fi
done

# --- peers -----------------------------------------------------------------
# FFmpeg (ffmpeg, ffprobe) and tstools (its tsfilter is installed as tsfilter.tstools on
# Debian) are installed where this may: as root, with apt-get, unless --no-install.
tsfilter=$(command -v tsfilter.tstools || command -v tsfilter || true)
if [ $peers = 1 ] && [ $install = 1 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    missing=()
    command -v ffmpeg >/dev/null || missing+=(ffmpeg)
    [ -n "$tsfilter" ] || missing+=(tstools)
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing the peers: ${missing[*]}"
        (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends "${missing[@]}") >/dev/null 2>&1 ||
            echo "   could not install ${missing[*]}; their rows are left out"
        tsfilter=$(command -v tsfilter.tstools || command -v tsfilter || true)
    fi
fi

# --- scratch and stream ----------------------------------------------------
mkdir -p "$scratch" || die "cannot create $scratch"
work=$(mktemp -d "$scratch/velkarin-bench.XXXXXX") || die "cannot create a directory in $scratch"
cleanup() {
    if [ $keep = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
data=$work/data            # the stream and every output written next to it
log=$work/log
mkdir -p "$data" "$log"
stream=$data/stream.ts
copy=$data/copy.ts

need_kib=$(( size_mib * 1024 * 7 / 2 ))
avail_kib=$(df -Pk "$work" | awk 'NR==2 {print $4}')
[ "$avail_kib" -ge "$need_kib" ] ||
    die "$work has $((avail_kib / 1024)) MiB free; the run needs about $((need_kib / 1024)) MiB"

echo "== generating $size_mib MiB in $work"
python3 "$here/gen_stream.py" "$stream" --size-mib "$size_mib" --facts "$log/facts" ||
    die "stream generation failed"
fact() { sed -n "s/^$1=//p" "$log/facts"; }
stream_bytes=$(fact bytes)
crc_a=$(fact crc0)

echo "== warming the page cache"
cat "$stream" > /dev/null
cat "$stream" > /dev/null

# --- measuring -------------------------------------------------------------
rss_tool="bench/rusage.py (peak RSS from wait4, anonymous memory sampled every 5 ms)"

# Remove every output of an earlier command, so each run writes new files.
clean_outputs() {
    find "$data" -mindepth 1 ! -path "$stream" -delete
    sync
}

# Jobs are timed round-robin, one run of each per round, so that the noise of a
# shared machine falls on all of them alike. job KEY STDOUT CHECK COMMAND...
# registers one; CHECK is a function run after every run (or "-"), which sets
# check[KEY] to a note, or to "MISMATCH: ..." when the outputs are wrong.
declare -a jobs
declare -A job_out job_check job_once best rss anon rc check times
job() {
    local key=$1
    jobs+=("$key"); job_out[$key]=$2; job_check[$key]=$3; shift 3
    local -n argv="cmd_$key"
    argv=("$@")
    best[$key]=""; rss[$key]=0; anon[$key]=0; rc[$key]=0
}

run_once() {
    local key=$1 secs kib akib status
    local -n argv="cmd_$key"
    clean_outputs
    python3 "$here/rusage.py" "$log/$key.rss" "${argv[@]}" >"${job_out[$key]}" 2>"$log/$key.err"
    status=$?
    read -r secs kib akib < "$log/$key.rss"
    if [ $status -ne 0 ] && [ "${rc[$key]}" = 0 ]; then
        rc[$key]=$status
        cp "$log/$key.err" "$log/$key.failed.err"
    fi
    case $kib in ''|*[!0-9]*) kib=0 ;; esac
    case $akib in ''|*[!0-9]*) akib=0 ;; esac
    [ "$kib" -gt "${rss[$key]}" ] && rss[$key]=$kib
    [ "$akib" -gt "${anon[$key]}" ] && anon[$key]=$akib
    times[$key]="${times[$key]:-}$(printf ' %.3f' "$secs")"
    if [ -z "${best[$key]}" ] || awk -v a="$secs" -v b="${best[$key]}" 'BEGIN {exit !(a < b)}'; then
        best[$key]=$secs
    fi
    if [ "${job_check[$key]}" != - ]; then
        case ${check[$key]:-} in MISMATCH*) ;; *) "${job_check[$key]}" ;; esac
    fi
}

# Output checks against what the generator says a correct tool produces.
file_size() { stat -c %s "$1" 2>/dev/null || echo missing; }
outputs() { find "$data" -mindepth 1 ! -path "$stream" -printf '%f\n' | sort; }

check_copy() {
    [ "$(file_size "$copy")" = "$stream_bytes" ] || check[cat_copy]="MISMATCH: the copy is short"
}
check_listing() {
    local i want
    want=$(for ((i = 0; i < $(fact crcs); i++)); do fact "listing$i"; done)
    if [ "$(cat "$log/listing.out")" = "$want" ]; then
        check[listing]="listing as expected"
    else
        printf '%s\n' "$want" > "$log/listing.want"
        cp "$log/listing.out" "$log/listing.got"
        check[listing]="MISMATCH: listing differs ($log/listing.got, listing.want)"
    fi
}
check_split_all() {
    local i crc want got bad=""
    for ((i = 0; i < $(fact crcs); i++)); do
        crc=$(fact "crc$i"); want=$(fact "crc${i}_bytes")
        got=$(file_size "$data/stream_$crc.ts")
        [ "$got" = "$want" ] || bad="$bad stream_$crc.ts: $got bytes, want $want;"
    done
    [ "$(outputs | wc -l)" = "$(fact crcs)" ] || bad="$bad files: $(outputs | tr '\n' ' ');"
    if [ -n "$bad" ]; then check[split_all]="MISMATCH:$bad"
    else check[split_all]="$(fact crcs) files as expected"; fi
}
check_split_crc() {
    local want got
    want=$(fact crc0_bytes); got=$(file_size "$data/stream_$crc_a.ts")
    if [ "$got" = "$want" ] && [ "$(outputs | wc -l)" = 1 ]; then
        check[split_crc]="1 file as expected"
    else
        check[split_crc]="MISMATCH: stream_$crc_a.ts: $got bytes, want $want; files: $(outputs | tr '\n' ' ')"
    fi
}
check_programs() {
    local want got
    want=$(fact program_bytes); got=$(file_size "$data/stream_1_0_0.ts")
    if [ "$got" = "$want" ] && [ "$(outputs | wc -l)" = 1 ]; then
        check[programs]="1 file as expected"
    else
        check[programs]="MISMATCH: stream_1_0_0.ts: $got bytes, want $want; files: $(outputs | tr '\n' ' ')"
    fi
}

check_each_run() {
    local i want=0 got=0 f n
    for ((i = 0; i < $(fact crcs); i++)); do want=$((want + $(fact "crc${i}_bytes"))); done
    n=0
    for f in "$data"/stream_[0-9]*_*.ts; do
        [ -f "$f" ] || continue
        got=$((got + $(file_size "$f"))); n=$((n + 1))
    done
    if [ "$got" = "$want" ] && [ "$n" = "$(fact runs)" ]; then
        check[each_run]="$n files, bytes as -a"
    else
        check[each_run]="MISMATCH: $n files of $got bytes, want $(fact runs) of $want"
    fi
}
check_remux() {
    [ -s "$data/remux.ts" ] || check[ffmpeg_remux]="MISMATCH: no output"
}

bin=$build_dir
job cat_null /dev/null - cat "$stream"
job cat_copy "$copy" check_copy cat "$stream"
if [ "${state[velkarin]}" = ok ]; then
    job listing "$log/listing.out" check_listing "$bin/velkarin" "$stream"
    job split_all /dev/null check_split_all "$bin/velkarin" "$stream" -a
    job split_crc /dev/null check_split_crc "$bin/velkarin" "$stream" "$crc_a"
    job keep_si /dev/null - "$bin/velkarin" "$stream" -a --keep-si
    if "$bin/velkarin" --help 2>/dev/null | grep -q -- --each-run; then
        job each_run /dev/null check_each_run "$bin/velkarin" "$stream" --each-run
    fi
fi
if [ "${state[velkarin-programs]}" = ok ]; then
    job programs "$log/programs.out" check_programs "$bin/velkarin-programs" "$stream" -a
fi
if [ "${state[velkarin-dump]}" = ok ]; then
    job dump_tables /dev/null - "$bin/velkarin-dump" --pat --pmt --pids "$stream"
    job dump_packets /dev/null - "$bin/velkarin-dump" --packets "$stream"
    job runs_report /dev/null - "$bin/velkarin-dump" --runs "$stream"
    if "$bin/velkarin-dump" --help 2>/dev/null | grep -q -- --timeline; then
        job timeline /dev/null - "$bin/velkarin-dump" --timeline "$stream"
    fi
fi
# The listing on a pseudo-terminal with its progress line, against the same under the
# same terminal with standard error sent away (no progress): the cost of the progress.
if [ "${state[velkarin]}" = ok ] && command -v script >/dev/null; then
    job listing_pty /dev/null - script -qec "'$bin/velkarin' '$stream'" /dev/null
    job listing_pty_off /dev/null - script -qec "'$bin/velkarin' '$stream' 2>/dev/null" /dev/null
fi
have_ffprobe=0
if [ $peers = 1 ] && command -v ffprobe >/dev/null; then
    have_ffprobe=1
    job ffprobe /dev/null - ffprobe -v error -count_packets \
        -show_entries stream=nb_read_packets -of csv=p=0 "$stream"
    job_once[ffprobe]=1
fi
# Peers that write: FFmpeg's copy remux of every stream, and tstools' PID filter keeping the
# PIDs of the program (what velkarin-programs -a writes, without the reduced PAT).
have_remux=0
if [ $peers = 1 ] && command -v ffmpeg >/dev/null; then
    have_remux=1
    job ffmpeg_remux /dev/null check_remux ffmpeg -v error -nostdin -y -i "$stream" -map 0 -c copy \
        -f mpegts "$data/remux.ts"
fi
have_tsfilter=0
if [ $peers = 1 ] && [ -n "$tsfilter" ]; then
    have_tsfilter=1
    job tsfilter /dev/null - "$tsfilter" -i "$stream" -o "$data/filtered.ts" \
        0 0x1000 0x100 0x101 0x102 0x103 0x1FF
fi

for ((round = 1; round <= runs; round++)); do
    echo "== round $round of $runs"
    for key in "${jobs[@]}"; do
        [ $round -gt 1 ] && [ -n "${job_once[$key]:-}" ] && continue
        run_once "$key"
    done
done
clean_outputs
# How much text the dumps print, from one more run that is not timed.
for key in dump_tables dump_packets; do
    [ -n "${job_out[$key]:-}" ] || continue
    declare -n argv="cmd_$key"
    bytes=$("${argv[@]}" 2>/dev/null | wc -c)
    unset -n argv
    check[$key]="$(awk -v b="$bytes" 'BEGIN {printf "%.1f", b / 1048576}') MiB of text"
done

# --- report ----------------------------------------------------------------
limit_kib=$((80 * 1024))
failures=0
row() {  # label key reference-key reference-label target
    local label=$1 key=$2 ref=$3 reflabel=$4 target=$5
    local t ratio verdict mem memv note
    t=${best[$key]}
    ratio=$(awk -v a="$t" -v b="${best[$ref]}" 'BEGIN {printf "%.2f", a / b}')
    if [ "$target" = - ]; then
        verdict=-
    elif awk -v r="$ratio" -v m="$target" 'BEGIN {exit !(r <= m)}'; then
        verdict=PASS
    else
        verdict=FAIL; failures=$((failures + 1))
    fi
    mem=$(awk -v k="${rss[$key]}" -v a="${anon[$key]}" 'BEGIN {printf "%.1f/%.1f", k / 1024, a / 1024}')
    if [ "$target" = - ]; then memv=-
    elif [ "${rss[$key]}" -lt $limit_kib ]; then memv=PASS
    else memv=FAIL; failures=$((failures + 1)); fi
    note=${check[$key]:-}
    case $note in MISMATCH*) failures=$((failures + 1)) ;; esac
    if [ "${rc[$key]}" != 0 ]; then
        failures=$((failures + 1))
        note="exit status ${rc[$key]}: $(head -c 200 "$log/$key.failed.err" | tr '\n' ' ')"
    fi
    [ "$target" = - ] || target="<= ${target}x"
    printf '%-42s %8.3f %8.3f  %-14s %6sx  %-8s %-5s %11s  %-5s %s\n' \
        "$label" "$t" "$(median "$key")" "$reflabel" "$ratio" "$target" "$verdict" "$mem" "$memv" "$note"
}
median() {
    tr ' ' '\n' <<<"${times[$1]}" | sed '/^$/d' | sort -n |
        awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
plain() {  # label key: a reference row
    printf '%-42s %8.3f %8.3f  %-14s %7s  %-8s %-5s %11s\n' "$1" "${best[$2]}" "$(median "$2")" - - - - \
        "$(awk -v k="${rss[$2]}" -v a="${anon[$2]}" 'BEGIN {printf "%.1f/%.1f", k / 1024, a / 1024}')"
}
skipped() {
    printf '%-42s %8s  %s\n' "$1" - "${state[$2]}"
}

echo
echo "velkarin bench: $(basename "$stream"), $stream_bytes bytes ($(fact packets) packets," \
     "$(fact runs) PMT runs), in page cache under $work"
rev=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')
if [ -n "$(git -C "$repo" status --porcelain -- ts app 2>/dev/null)" ]; then
    rev="$rev with uncommitted changes in ts/ or app/"
fi
echo "commit $rev; $(nproc) cores;" \
     "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1);" \
     "load $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo "$runs runs each, taken round-robin; the ratio is of the best times; memory by $rss_tool"
echo
printf '%-42s %8s %8s  %-14s %7s  %-8s %-5s %11s  %-5s %s\n' \
    command "best(s)" "median" "against" ratio target speed "RSS/anon" "<80M" "output"
plain "cat FILE > /dev/null" cat_null
plain "cat FILE > COPY" cat_copy
if [ "${state[velkarin]}" = ok ]; then
    row "velkarin FILE" listing cat_null "cat>/dev/null" 1.2
    row "velkarin FILE -a" split_all cat_copy "cat>COPY" 1.2
    row "velkarin FILE $crc_a" split_crc cat_copy "cat>COPY" 1.2
    row "velkarin FILE -a --keep-si" keep_si split_all "velkarin -a" 1.05
    [ -n "${best[each_run]:-}" ] && row "velkarin FILE --each-run" each_run split_all "velkarin -a" 1.05
else
    skipped "velkarin FILE / -a / CRC" velkarin
fi
if [ "${state[velkarin-programs]}" = ok ]; then
    row "velkarin-programs FILE -a" programs cat_copy "cat>COPY" 1.2
else
    skipped "velkarin-programs FILE -a" velkarin-programs
fi
if [ "${state[velkarin-dump]}" = ok ]; then
    row "velkarin-dump --pat --pmt --pids FILE" dump_tables cat_null "cat>/dev/null" 1.5
    row "velkarin-dump --packets FILE" dump_packets cat_null "cat>/dev/null" 2.5
    [ "${state[velkarin]}" = ok ] && row "velkarin-dump --runs FILE" runs_report listing "velkarin FILE" 1.5
    [ "${state[velkarin]}" = ok ] && [ -n "${best[timeline]:-}" ] &&
        row "velkarin-dump --timeline FILE" timeline listing "velkarin FILE" 1.5
else
    skipped "velkarin-dump" velkarin-dump
fi
if [ -n "${best[listing_pty]:-}" ]; then
    row "velkarin FILE, progress on a terminal" listing_pty listing_pty_off "same, no progress" 1.05
fi
if [ $have_ffprobe = 1 ]; then
    row "ffprobe -count_packets FILE (peer, 1 run)" ffprobe cat_null "cat>/dev/null" -
fi
[ $have_remux = 1 ] && row "ffmpeg -c copy remux (peer)" ffmpeg_remux cat_copy "cat>COPY" -
[ $have_tsfilter = 1 ] && row "tstools tsfilter, the program (peer)" tsfilter cat_copy "cat>COPY" -
echo
echo "every run, in seconds (a wide spread means a busy machine; --runs N takes more):"
for key in "${jobs[@]}"; do
    printf '  %-14s%s\n' "$key" "${times[$key]}"
done
echo
measured=0
for c in "${commands[@]}"; do [ "${state[$c]}" = ok ] && measured=$((measured + 1)); done
if [ $measured = 0 ]; then
    echo "no velkarin command was measured"
    exit 1
fi
if [ $failures = 0 ]; then
    echo "all targets met by the commands measured"
    exit 0
fi
echo "$failures target(s) missed or command(s) failed"
exit 1
