#!/usr/bin/env bash
# Runs every fuzz target for SECONDS of new inputs, starting from a copy of its
# seed corpus in BUILD_DIR/fuzz-work/<target>/ (the corpus in the tree is never
# grown by a run). Prints one line per target; exits non-zero when any target
# found a crash, leak, time-out, memory blow-up or property violation, leaving
# the reproducer in BUILD_DIR/fuzz-work/<target>/.
#   usage: fuzz/run.sh BUILD_DIR SECONDS
# FUZZ_JOBS targets run side by side (default: the number of cores).
set -u
if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd) || exit 2
seconds=$2
targets="fuzz_ini fuzz_image fuzz_hid_descriptor fuzz_sim_frames fuzz_records"
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
# A small quarantine: the targets allocate and free the same few buffers on every
# input, and with the default 256 MB each one lands on fresh pages.
export ASAN_OPTIONS="quarantine_size_mb=16${ASAN_OPTIONS:+:$ASAN_OPTIONS}"

run_one() {
  local t=$1 work=$build/fuzz-work/$1
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp "$here/corpus/$t"/* "$work/corpus/"
  (cd "$work" && "$build/bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
     -print_final_stats=1 -artifact_prefix="$work/" corpus >"$work/log" 2>&1)
  echo $? >"$work/status"
}

start=$(date +%s)
running=0
for t in $targets; do
  if [ ! -x "$build/bin/$t" ]; then
    echo "$t: $build/bin/$t is missing (cmake --preset fuzz && cmake --build build-fuzz)" >&2
    exit 2
  fi
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

failed=0
for t in $targets; do
  work=$build/fuzz-work/$t
  status=$(cat "$work/status" 2>/dev/null || echo 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$work/log" | tail -1)
  printf '%-20s %10s execs  %-20s corpus %s' "$t" "${runs:-?}" "${cov:-cov: ?}" \
    "$(find "$work/corpus" -type f | wc -l)"
  if [ "$status" = 0 ]; then
    echo "  ok"
  else
    failed=1
    echo "  FAILED (exit $status)"
    grep -E '^(PROPERTY VIOLATED|==[0-9]+==ERROR|SUMMARY|ERROR: libFuzzer)' "$work/log" | head -3 | sed 's/^/    /'
    for a in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$work"/slow-unit-*; do
      [ -e "$a" ] && echo "    reproducer: $a  (replay: $build/bin/$t $a)"
    done
    echo "    log: $work/log"
  fi
done
echo "fuzz: ${seconds}s per target, $(($(date +%s) - start))s in all"
exit $failed
