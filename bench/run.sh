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
  --no-peers          skip the ffprobe reading of the stream
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
if [ -x /usr/bin/time ]; then rss_tool="/usr/bin/time -f %M"; else rss_tool="getrusage (bench/rusage.py)"; fi

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
declare -A job_out job_check job_once best rss rc check times
job() {
    local key=$1
    jobs+=("$key"); job_out[$key]=$2; job_check[$key]=$3; shift 3
    local -n argv="cmd_$key"
    argv=("$@")
    best[$key]=""; rss[$key]=0; rc[$key]=0
}

run_once() {
    local key=$1 t0 t1 secs kib status
    local -n argv="cmd_$key"
    clean_outputs
    if [ -x /usr/bin/time ]; then
        t0=$(date +%s%N)
        /usr/bin/time -f %M -o "$log/$key.rss" "${argv[@]}" >"${job_out[$key]}" 2>"$log/$key.err"
        status=$?
        t1=$(date +%s%N)
        secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.6f", (b - a) / 1e9}')
        kib=$(tail -n 1 "$log/$key.rss")
    else
        python3 "$here/rusage.py" "$log/$key.rss" "${argv[@]}" >"${job_out[$key]}" 2>"$log/$key.err"
        status=$?
        read -r secs kib < "$log/$key.rss"
    fi
    if [ $status -ne 0 ] && [ "${rc[$key]}" = 0 ]; then
        rc[$key]=$status
        cp "$log/$key.err" "$log/$key.failed.err"
    fi
    case $kib in ''|*[!0-9]*) kib=0 ;; esac
    [ "$kib" -gt "${rss[$key]}" ] && rss[$key]=$kib
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

bin=$build_dir
job cat_null /dev/null - cat "$stream"
job cat_copy "$copy" check_copy cat "$stream"
if [ "${state[velkarin]}" = ok ]; then
    job listing "$log/listing.out" check_listing "$bin/velkarin" "$stream"
    job split_all /dev/null check_split_all "$bin/velkarin" "$stream" -a
    job split_crc /dev/null check_split_crc "$bin/velkarin" "$stream" "$crc_a"
fi
if [ "${state[velkarin-programs]}" = ok ]; then
    job programs "$log/programs.out" check_programs "$bin/velkarin-programs" "$stream" -a
fi
if [ "${state[velkarin-dump]}" = ok ]; then
    job dump_tables /dev/null - "$bin/velkarin-dump" --pat --pmt --pids "$stream"
    job dump_packets /dev/null - "$bin/velkarin-dump" --packets "$stream"
    job runs_report /dev/null - "$bin/velkarin-dump" --runs "$stream"
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
limit_kib=$((128 * 1024))
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
    mem=$(awk -v k="${rss[$key]}" 'BEGIN {printf "%.1f", k / 1024}')
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
    printf '%-42s %8.3f  %-14s %6sx  %-8s %-5s %9s  %-5s %s\n' \
        "$label" "$t" "$reflabel" "$ratio" "$target" "$verdict" "$mem" "$memv" "$note"
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
echo "best of $runs runs, taken round-robin; peak RSS by $rss_tool"
echo
printf '%-42s %8s  %-14s %7s  %-8s %-5s %9s  %-5s %s\n' \
    command "time(s)" "against" ratio target speed "RSS(MiB)" "<128M" "output"
printf '%-42s %8.3f  %-14s %7s  %-8s %-5s %9s\n' "cat FILE > /dev/null" "${best[cat_null]}" - - - - \
    "$(awk -v k="${rss[cat_null]}" 'BEGIN {printf "%.1f", k / 1024}')"
printf '%-42s %8.3f  %-14s %7s  %-8s %-5s %9s\n' "cat FILE > COPY" "${best[cat_copy]}" - - - - \
    "$(awk -v k="${rss[cat_copy]}" 'BEGIN {printf "%.1f", k / 1024}')"
if [ "${state[velkarin]}" = ok ]; then
    row "velkarin FILE" listing cat_null "cat>/dev/null" 2
    row "velkarin FILE -a" split_all cat_copy "cat>COPY" 1.5
    row "velkarin FILE $crc_a" split_crc cat_copy "cat>COPY" 1.5
else
    skipped "velkarin FILE / -a / CRC" velkarin
fi
if [ "${state[velkarin-programs]}" = ok ]; then
    row "velkarin-programs FILE -a" programs cat_copy "cat>COPY" 1.5
else
    skipped "velkarin-programs FILE -a" velkarin-programs
fi
if [ "${state[velkarin-dump]}" = ok ]; then
    row "velkarin-dump --pat --pmt --pids FILE" dump_tables cat_null "cat>/dev/null" 2
    row "velkarin-dump --packets FILE" dump_packets cat_null "cat>/dev/null" 10
    [ "${state[velkarin]}" = ok ] && row "velkarin-dump --runs FILE" runs_report listing "velkarin FILE" 1.5
else
    skipped "velkarin-dump" velkarin-dump
fi
if [ -n "${best[listing_pty]:-}" ]; then
    row "velkarin FILE, progress on a terminal" listing_pty listing_pty_off "same, no progress" 1.05
fi
if [ $have_ffprobe = 1 ]; then
    row "ffprobe -count_packets FILE (peer, 1 run)" ffprobe cat_null "cat>/dev/null" -
fi
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
