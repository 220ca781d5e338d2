#!/usr/bin/env bash
# Hostile input: runs every fuzz target for a bounded time, two at a time, then the
# corruption run; exits non-zero on any finding.
#
#   fuzz/run.sh --ci                 builds the fuzz and sanitize presets when needed, fuzzes
#                                    each target so that fuzzing takes about 7 minutes in all,
#                                    then the corruption run (at most about 5 minutes)
#   fuzz/run.sh --long SECONDS       each target SECONDS (niced), with executions per target;
#                                    no corruption run
#   fuzz/run.sh --corrupt [COUNT]    the corruption run alone
#
# Environment: VELKARIN_FUZZ_BUILD (default build/fuzz), VELKARIN_SAN_BUILD (default
# build/sanitize), VELKARIN_FUZZ_WORK (default build/fuzz-work: corpora, logs, crashes),
# VELKARIN_STREAMS (default ../shared/streams beside the repository),
# VELKARIN_FUZZ_TARGETS (names to fuzz, default every target built), VELKARIN_FUZZ_JOBS (2).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

mode="${1:---ci}"
fuzz_build="${VELKARIN_FUZZ_BUILD:-$root/build/fuzz}"
san_build="${VELKARIN_SAN_BUILD:-$root/build/sanitize}"
work="${VELKARIN_FUZZ_WORK:-$root/build/fuzz-work}"
streams="${VELKARIN_STREAMS:-$root/../shared/streams}"
jobs="${VELKARIN_FUZZ_JOBS:-2}"

build() {
  mkdir -p "$work"
  local log="$work/build.log"
  {
    if [ ! -f "$fuzz_build/build.ninja" ]; then cmake --preset fuzz -B "$fuzz_build"; fi
    cmake --build "$fuzz_build" -j2
    if [ ! -f "$san_build/build.ninja" ]; then cmake --preset sanitize -B "$san_build"; fi
    cmake --build "$san_build" -j2 --target velkarin velkarin-programs velkarin-dump
  } >"$log" 2>&1 || { tail -40 "$log"; echo "hostile input: the build failed"; exit 1; }
}

# Fuzzes one target for $2 seconds; prints one line with its executions and result.
fuzz_one() {
  local target="$1" seconds="$2"
  local corpus="$work/corpus/$target" crashes="$work/crashes/$target" log="$work/logs/$target.log"
  mkdir -p "$corpus" "$crashes"
  local status=0
  # Short runs also use the seeds directly, so that nothing depends on the corpus kept so far.
  nice -n 10 "$fuzz_build/fuzz/fuzz_$target" "$corpus" "$work/seeds/$target" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=20000 \
    -print_final_stats=1 -artifact_prefix="$crashes/" >"$log" 2>&1 || status=$?
  local execs
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  if [ "$status" -eq 0 ]; then
    printf '%-22s %10s executions in %ss, no finding\n' "$target" "${execs:-?}" "$seconds"
  else
    printf '%-22s %10s executions: FINDING (status %d), see %s and %s\n' "$target" "${execs:-?}" "$status" "$log" "$crashes"
    grep -m1 -A20 -E 'ERROR: |FINDING|runtime error|deadly signal' "$log" | sed 's/^/    /' || true
  fi
  return "$status"
}

fuzz_all() {
  local seconds="$1"
  mkdir -p "$work/logs"
  rm -rf "$work/seeds"
  "$root/fuzz/make_corpus.sh" "$work/seeds" "$streams" >/dev/null
  local targets
  if [ -n "${VELKARIN_FUZZ_TARGETS:-}" ]; then targets="$VELKARIN_FUZZ_TARGETS"
  else targets="$(cat "$fuzz_build/fuzz/targets.txt")"; fi
  if [ "$seconds" = auto ]; then
    # About 7 minutes of fuzzing in all, $jobs targets at a time.
    local n rounds
    n="$(echo $targets | wc -w)"
    rounds=$(( (n + jobs - 1) / jobs ))
    seconds=$(( 420 / rounds ))
  fi
  echo "fuzzing: $(echo $targets | wc -w) targets, ${seconds}s each, $jobs at a time"
  local failed=0 pids=() names=() t
  for t in $targets; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
    fuzz_one "$t" "$seconds" > "$work/logs/$t.result" &
    pids+=($!)
    names+=("$t")
  done
  for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then failed=1; fi
    cat "$work/logs/${names[$i]}.result"
  done
  return "$failed"
}

corrupt() {
  local count="${1:-4000}" budget="${2:-270}"
  # The oracle the run checks outputs with, on its own cases first.
  python3 "$root/fuzz/streams_test.py" >"$work/streams_test.log" 2>&1 \
    || { cat "$work/streams_test.log"; echo "hostile input: the oracle's own tests fail"; return 1; }
  python3 "$root/fuzz/corrupt.py" --bin "$san_build" --sizes "$fuzz_build/fuzz/pmt-sizes" \
    --streams "$streams" --count "$count" --budget "$budget" --jobs "$jobs" \
    --failures "$work/corrupt-failures"
}

case "$mode" in
  --ci)
    build
    status=0
    fuzz_all auto || status=1
    corrupt || status=1
    if [ "$status" -ne 0 ]; then echo "hostile input: FINDINGS (see above)"; else echo "hostile input: no finding"; fi
    exit "$status"
    ;;
  --long)
    seconds="${2:?usage: run.sh --long SECONDS}"
    build
    fuzz_all "$seconds"
    ;;
  --corrupt)
    build
    corrupt "${2:-4000}" "${3:-0}"
    ;;
  *)
    sed -n '2,16p' "$0"
    exit 2
    ;;
esac
