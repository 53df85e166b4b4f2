#!/usr/bin/env bash
# A production station's wall time: one iapflash updating 1, 2, 4 and 8 paced
# serial units (iapsim --pace, each on its own pty) at 9600 baud, from the start
# of iapflash to its end, against one unit's time. The transfer waits on the wire,
# so the units should overlap almost perfectly: goal, 8 units within 1.10 times
# one unit's time on a 2-core machine.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
BIN=${IAP_BIN:-$ROOT/${IAP_BUILD_DIR:-build}/bin}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/iapstation.XXXXXX")
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

python3 "$ROOT/examples/make-firmware.py" --bench "$WORK/bench.mppt" >/dev/null
printf '%s\r\n' '[DEVICELIST]' 'DEVICECOUNT=1' '[DEVICE0]' 'VID=0x1209' 'PID=0x0001' \
  'COMMUNICATBDRATE=9600' 'PROGRAMBDRATE=9600' 'RAWDATASIZE=32' 'HEADLINE=0' \
  'ROMHEAD=0x8000' 'ROMTAIL=0xFFFF' 'INTSTART=0xFFC0' 'INTEND=0xFFE0' 'PAGESIZE=0x200' \
  'IAPSTART=0xF000' 'IAPEND=0xF400' 'IAPMARK=0x8000' 'FLASHCMD=IAPMODE#' >"$WORK/MpptConfigFile.ini"

# station N: prints the wall time of one station run of N units, in seconds.
station() {
  local n=$1 ports=() i path word
  PIDS=()
  for i in $(seq "$n"); do
    mkdir -p "$WORK/u$i"
    rm -f "$WORK/u$i/sim.out"
    (cd "$WORK/u$i" && exec "$BIN/iapsim" serial --config ../MpptConfigFile.ini --pace \
      --timeout 120 >sim.out 2>sim.err) &
    PIDS+=($!)
  done
  for i in $(seq "$n"); do
    path=
    for _ in $(seq 100); do
      if [ -s "$WORK/u$i/sim.out" ] && read -r word path <"$WORK/u$i/sim.out" &&
        [ "$word" = ready ]; then break; fi
      path=
      sleep 0.1
    done
    [ -n "$path" ] || { echo "bench: iapsim $i did not come up" >&2; return 1; }
    ports+=(-p "$path")
  done
  local start end
  start=$(date +%s.%N)
  if ! (cd "$WORK" && IAP_JOURNAL="$WORK/journal.jsonl" timeout 300 "$BIN/iapflash" -q \
      "${ports[@]}" bench.mppt >flash.out 2>flash.err); then
    echo "bench: the station run of $n units failed:" >&2
    tail -12 "$WORK/flash.out" "$WORK/flash.err" >&2
    return 1
  fi
  end=$(date +%s.%N)
  for pid in "${PIDS[@]}"; do wait "$pid" || { echo "bench: an iapsim failed" >&2; return 1; }; done
  PIDS=()
  python3 -c "print('%.3f' % ($end - $start))"
}

echo "station: paced serial units at 9600 baud, $(nproc) cores, wall time of one iapflash"
one=
for n in 1 2 4 8; do
  seconds=$(station "$n")
  [ -n "$one" ] || one=$seconds
  python3 - "$n" "$seconds" "$one" <<'PY'
import sys
n, seconds, one = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
goal = "  (goal for 8: at most 1.10)" if n == 8 else ""
print("  %d unit%s: %7.3f s, %.3f times one unit's%s" % (n, "" if n == 1 else "s", seconds,
                                                         seconds / one, goal))
PY
done
