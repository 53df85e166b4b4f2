#!/usr/bin/env bash
# Transfer speed of a 4 KiB image, updater (iapflash) against the paced device
# simulator (iapsim --pace), as the device sees it: from the first byte of the
# first data frame to the end-of-file frame received whole.
#
# Serial over a pty at 9600 baud: compared with the wire limit, every data frame
# and its two reply bytes at 10 bits a byte, plus the end-of-file frame (it gets no
# reply, and the window ends when it has arrived).
# HID over the socket channel: compared with the pauses the link must keep between
# the reports of one frame (none for a one-report frame; 16 ms then 11 ms at
# PROGRAMBDRATE 9600, 35 ms otherwise) plus the device's 1 ms interrupt interval
# before each answer. The goals are in bench/baseline.txt.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
BIN=${IAP_BIN:-$ROOT/${IAP_BUILD_DIR:-build}/bin}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/iapbench.XXXXXX")
SIM_PID=
cleanup() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then kill "$SIM_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

python3 "$ROOT/examples/make-firmware.py" --bench "$WORK/bench.mppt" >/dev/null

write_ini() {  # write_ini PROGRAMBDRATE
  printf '%s\r\n' '[DEVICELIST]' 'DEVICECOUNT=1' '[DEVICE0]' 'VID=0x1209' 'PID=0x0001' \
    'COMMUNICATBDRATE=9600' "PROGRAMBDRATE=$1" 'RAWDATASIZE=32' 'HEADLINE=0' \
    'ROMHEAD=0x8000' 'ROMTAIL=0xFFFF' 'INTSTART=0xFFC0' 'INTEND=0xFFE0' 'PAGESIZE=0x200' \
    'IAPSTART=0xF000' 'IAPEND=0xF400' 'IAPMARK=0x8000' 'FLASHCMD=IAPMODE#' >"$WORK/MpptConfigFile.ini"
}

# run_case serial|hid SIM-OPTIONS...: one update; leaves stats.txt in $WORK.
run_case() {
  local mode=$1
  shift
  rm -f "$WORK/stats.txt" "$WORK/sim.out" "$WORK/tmp.bin"
  (cd "$WORK" && exec "$BIN/iapsim" "$mode" --pace --stats stats.txt --timeout 60 "$@" \
    >sim.out 2>sim.err) &
  SIM_PID=$!
  local path=
  for _ in $(seq 100); do
    if [ -s "$WORK/sim.out" ] && read -r word path <"$WORK/sim.out" && [ "$word" = ready ]; then break; fi
    path=
    sleep 0.1
  done
  [ -n "$path" ] || { echo "bench: iapsim did not come up" >&2; cat "$WORK/sim.err" >&2; return 1; }
  local env_var=IAP_COM1=$path interface=COM1
  if [ "$mode" = hid ]; then env_var=IAP_HID_SOCKET=$path interface=USB; fi
  if ! (cd "$WORK" && env "$env_var" timeout 120 "$BIN/iapflash" --interface $interface \
      bench.mppt >flash.out 2>flash.err); then
    echo "bench: the update failed:" >&2
    tail -5 "$WORK/flash.out" "$WORK/flash.err" >&2
    return 1
  fi
  wait "$SIM_PID" || { echo "bench: iapsim failed" >&2; cat "$WORK/sim.err" >&2; return 1; }
  SIM_PID=
}

figures() {  # figures serial BAUD | hid OUTPUT-REPORT-LENGTH PROGRAMBDRATE
  python3 - "$WORK/stats.txt" "$@" <<'PY'
import sys
stats = dict(line.strip().split("=", 1) for line in open(sys.argv[1]) if "=" in line)
kind = sys.argv[2]
frames = int(stats["data_frames"])
seconds = float(stats["transfer_seconds"])
frame_bytes = int(stats["frame_bytes"])
if kind == "serial":
    baud = int(sys.argv[3])
    wire_bytes = frame_bytes + 2 * frames
    limit = wire_bytes * 10 / baud
    print("  serial %d baud: %d data frames + end-of-file, %d bytes on the wire" % (baud, frames, wire_bytes))
    print("    measured %.3f s, wire limit %.3f s, ratio %.4f (%+.2f %%)"
          % (seconds, limit, seconds / limit, (seconds / limit - 1) * 100))
    print("figure: serial_excess_pct %.3f" % ((seconds / limit - 1) * 100))
else:
    report_length, prog = int(sys.argv[3]), int(sys.argv[4])
    payload = report_length - 1
    reports = int(stats["reports"])
    per_frame_reports = -(-(frame_bytes - 8) // frames // payload)  # data frames are all alike
    pauses = [] if per_frame_reports < 2 else (
        [16] + [11] * (per_frame_reports - 2) if prog == 9600 else [35] * (per_frame_reports - 1))
    required_ms = sum(pauses) + 1.0  # + the interrupt interval before the answer
    measured_ms = seconds * 1000 / frames
    print("  HID %d-byte reports, PROGRAMBDRATE %d: %d data frames, %d report(s) each, %d reports in all"
          % (report_length, prog, frames, per_frame_reports, reports))
    print("    measured %.3f s = %.3f ms a frame; required %.3f ms a frame (pauses %s + 1 ms answer)"
          % (seconds, measured_ms, required_ms, "+".join(map(str, pauses)) or "none"))
    print("    excess %.3f ms a frame" % (measured_ms - required_ms))
    name = "hid65" if report_length == 65 else "hid%d_%d" % (report_length, prog)
    print("figure: %s_excess_ms %.3f" % (name, measured_ms - required_ms))
PY
}

echo "transfer of a 4 KiB image (record size 32), device-side timing"
write_ini 9600
run_case serial --config MpptConfigFile.ini
figures serial 9600
run_case hid --socket "$WORK/hid.sock" --config MpptConfigFile.ini
figures hid 65 9600
run_case hid --socket "$WORK/hid.sock" --config MpptConfigFile.ini --output-report-length 17
figures hid 17 9600
write_ini 2400
run_case hid --socket "$WORK/hid.sock" --config MpptConfigFile.ini --output-report-length 17
figures hid 17 2400
