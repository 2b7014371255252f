#!/usr/bin/env bash
# The fuzz targets of fuzz/ (libFuzzer, built by clang into build-fuzz/).
#
#   scripts/run-fuzz.sh --replay [target...]
#       Runs each target once over every input of its corpus (fuzz/corpus/
#       <target>/): the regression run of the test command, seconds.
#   scripts/run-fuzz.sh [--seconds N] [--jobs J] [target...]
#       Fuzzes each target for N seconds (default 600), J targets at a time
#       (default 1), at low priority. New inputs that add coverage are merged
#       into fuzz/corpus/<target>/; a crashing input is left in
#       build-fuzz/fuzz/crashes/<target>/ and the run fails. Each target's
#       last status line (with libFuzzer's "cov:" figure) is printed at the end.
#   scripts/run-fuzz.sh --seeds
#       Rewrites the binary seeds of the corpora with the project's encoders.
# Without target names every target runs: datagram fragments client_command
# login query_line web_action page_template ini_file sql_script.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
all_targets=(datagram fragments client_command login query_line web_action page_template ini_file sql_script)

mode=fuzz
seconds=600
jobs=1
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --replay) mode=replay ;;
    --seeds) mode=seeds ;;
    --seconds) seconds="$2"; shift ;;
    --jobs) jobs="$2"; shift ;;
    -*) echo "run-fuzz: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_FUZZ=ON \
  -DQV_BUILD_TESTS=OFF >/dev/null
nice cmake --build build-fuzz -j "$(nproc)" --target fuzz_targets
bin="$root/build-fuzz/fuzz"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

if [ "$mode" = seeds ]; then
  "$bin/fuzz_make_seeds" "$root/fuzz/corpus"
  exit 0
fi

if [ "$mode" = replay ]; then
  status=0
  for t in "${targets[@]}"; do
    corpus="$root/fuzz/corpus/$t"
    n=$(find "$corpus" -type f | wc -l)
    if "$bin/fuzz_$t" -runs=0 "$corpus" >"$bin/replay_$t.log" 2>&1; then
      echo "replay $t: $n inputs OK"
    else
      echo "replay $t: FAILED (log: $bin/replay_$t.log)"
      tail -n 30 "$bin/replay_$t.log"
      status=1
    fi
  done
  exit "$status"
fi

# Fuzzing: new finds go to a scratch corpus first, then are merged (only the
# inputs that add coverage) into the committed one.
fuzz_one() {
  local t="$1" work="$bin/work/$t" crashes="$bin/crashes/$t"
  rm -rf "$work"
  mkdir -p "$work" "$crashes"
  local rc=0
  nice -n 10 "$bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$crashes/" "$work" "$root/fuzz/corpus/$t" >"$bin/fuzz_$t.log" 2>&1 || rc=$?
  "$bin/fuzz_$t" -merge=1 "$root/fuzz/corpus/$t" "$work" >"$bin/merge_$t.log" 2>&1 || true
  local cov
  cov=$(grep -E '#[0-9]+.*cov:' "$bin/fuzz_$t.log" | tail -n 1 || true)
  echo "fuzz $t (${seconds}s, exit $rc): $cov"
  return "$rc"
}

status=0
running=0
for t in "${targets[@]}"; do
  fuzz_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit "$status"
