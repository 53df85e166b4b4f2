#!/usr/bin/env bash
# A full firmware update against the device simulator, three times: solvane over
# a serial line (a pty standing in for COM1), castrel over USB (the socket HID
# channel), and castrel over serial with a firmware that srec_cat wrote. All run
# at the devices' own pace, show the message log and the progress, and end with a
# check that the simulator's flash holds exactly the firmware's bytes outside the
# protected ranges.
#
#   bash examples/demo.sh          (make demo builds build/ first)
#   IAP_BIN=/path/to/bin bash examples/demo.sh
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${IAP_BIN:-$ROOT/build/bin}
EXAMPLES=$ROOT/examples
for program in iapflash iapsim; do
  [ -x "$BIN/$program" ] || { echo "demo: $BIN/$program is missing; run make build-native" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/iapdemo.XXXXXX")
SIM_PID=
cleanup() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then kill "$SIM_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# start_sim DIR ARGS...: starts iapsim in DIR, waits for its "ready PATH" line and
# sets SIM_PID and SIM_PATH.
start_sim() {
  local dir=$1
  shift
  (cd "$dir" && exec "$BIN/iapsim" "$@" >sim.out 2>sim.err) &
  SIM_PID=$!
  SIM_PATH=
  for _ in $(seq 100); do
    if [ -s "$dir/sim.out" ] && read -r word path <"$dir/sim.out" && [ "$word" = ready ]; then
      SIM_PATH=$path
      return 0
    fi
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "demo: the simulator did not come up:" >&2
  cat "$dir/sim.err" >&2
  return 1
}

# wait_sim DIR: waits (bounded) for the simulator to end; its status is the result.
wait_sim() {
  local dir=$1 status=0
  for _ in $(seq 100); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$SIM_PID" 2>/dev/null && kill "$SIM_PID"
  wait "$SIM_PID" || status=$?
  SIM_PID=
  sed 's/^/  /' "$dir/sim.err"
  return $status
}

# The message log as it comes, with the frame-by-frame lines of frames 3 onward
# folded into one line (the whole log stays in DIR/messages.log). On a terminal
# each line first clears the progress bar that iapflash draws on stderr.
show_log() {
  local clear='' frame=0 folded=0 last=0 line
  [ -t 1 ] && clear=$'\r\e[K'
  exec 3>"$1/messages.log"
  while IFS= read -r line; do
    line=${line%$'\r'}
    printf '%s\n' "$line" >&3
    [[ $line =~ ^([0-9]+)\ Wr$ ]] && frame=${BASH_REMATCH[1]}
    if ((frame >= 3)) && [[ $line =~ ^[0-9]+(\ Wr|\ Rd)?$ || $line == A ]]; then
      folded=$((folded + 1))
      last=$frame
      continue
    fi
    if ((folded)); then
      printf '%s  ... frames 3 to %d: %d more lines of the same kind\n' "$clear" "$last" "$folded"
      folded=0
    fi
    printf '%s  %s\n' "$clear" "$line"
  done
  exec 3>&-
}

# update NAME VARIANT INTERFACE CONFIG FIRMWARE MODE SIM-ARGS...
update() {
  local name=$1 variant=$2 interface=$3 config=$4 firmware=$5 mode=$6
  shift 6
  local dir=$WORK/${RUN_NAME:-$name}
  mkdir -p "$dir"
  cp "$EXAMPLES/$name/$config" "${FIRMWARE_DIR:-$EXAMPLES/$name}/$firmware" "$dir/"
  echo
  echo "=== $name: $firmware over $interface ($mode), simulator paced at the device's baud rate"
  start_sim "$dir" "$mode" --pace --config "$config" --frames frames.txt --image flash.s19 \
    --timeout 60 "$@"
  local env_var
  if [ "$mode" = serial ]; then env_var="IAP_${interface}=$SIM_PATH"; else env_var="IAP_HID_SOCKET=$SIM_PATH"; fi
  echo "    $env_var iapflash --variant $variant --interface $interface $firmware"
  local status=0
  (cd "$dir" && env "$env_var" timeout 300 "$BIN/iapflash" --variant "$variant" \
      --interface "$interface" "$firmware") | show_log "$dir" || status=$?
  local sim_status=0
  wait_sim "$dir" || sim_status=$?
  if [ $status -ne 0 ] || [ $sim_status -ne 0 ]; then
    echo "demo: $name: the update failed (iapflash $status, iapsim $sim_status)" >&2
    return 1
  fi
  echo "    $(wc -l <"$dir/frames.txt") frames received; checking the flash:"
  local road=serial
  [ "$mode" = hid ] && road=hid
  python3 "$EXAMPLES/check-flash.py" --config "$dir/$config" --interface $road \
    "$dir/$firmware" "$dir/flash.s19" | sed 's/^/    /'
}

result=0
update solvane solvane COM1 MpptConfigFile.ini firmware.mppt serial || result=1
update castrel castrel USB InvConfigFile.ini firmware.S19 hid --socket "$WORK/castrel/hid.sock" ||
  result=1
# A firmware as srec_cat writes it with its defaults, from random data: 32 data
# bytes a line (two castrel rows each), its own header text, a count record and
# no termination record.
mkdir -p "$WORK/srec"
head -c 6144 /dev/urandom >"$WORK/srec/app.bin"
srec_cat "$WORK/srec/app.bin" -binary -offset 0x00F000 -o "$WORK/srec/srec_cat.S19"
RUN_NAME=castrel-srec_cat FIRMWARE_DIR=$WORK/srec \
  update castrel castrel COM2 InvConfigFile.ini srec_cat.S19 serial || result=1
echo
if [ $result -eq 0 ]; then
  echo "demo: all three updates ended with \"UPS firmware update successful!\" and their flash checks passed"
else
  echo "demo: FAILED" >&2
fi
exit $result
