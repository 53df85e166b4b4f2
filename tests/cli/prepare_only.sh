#!/usr/bin/env bash
# iapflash --prepare-only on S-record files that srec_cat makes from random binaries,
# in both address widths and for record sizes 16, 32 and 64: tmp.txt and tmp.bin
# must carry every firmware byte at its address. Usage: prepare_only.sh IAPFLASH [RUNNER]
set -u
prog=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runner=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
fails=0

head -c 8192 /dev/urandom >"$work/a.bin"
head -c 300 /dev/urandom >"$work/b.bin"

config() {  # config ROMHEAD ROMTAIL RAWDATASIZE IAPMARK
  cat >"$work/MpptConfigFile.ini" <<INI
[DEVICELIST]
DEVICECOUNT=1
[DEVICE0]
VID=0x1209
PID=0x0001
COMMUNICATBDRATE=9600
PROGRAMBDRATE=9600
RAWDATASIZE=$3
ROMHEAD=$1
ROMTAIL=$2
INTSTART=0xFFFF00
INTEND=0xFFFFF0
PAGESIZE=0x200
IAPSTART=0xFFE000
IAPEND=0xFFEFF0
IAPMARK=$4
FLASHCMD=IAP#
INI
}

one() {  # one WIDTH RAWDATASIZE EXPECTED_SIZE
  local width=$1 raw=$2 size=$3 head second tail mark
  if [ "$width" = 16 ]; then
    head=0x8000 second=0xA105 tail=0xFFFF mark=0x8400
  else
    head=0x10000 second=0x12345 tail=0x3FFFF mark=0x10800
  fi
  config "$head" "$tail" "$raw" "$mark"
  local obs=$raw
  [ "$obs" -gt 64 ] && obs=64
  srec_cat "$work/a.bin" -binary -offset "$head" "$work/b.bin" -binary -offset "$second" \
    -o "$work/fw.mppt" -address-length=$((width / 8)) -obs="$obs" || { fails=$((fails + 1)); return; }
  rm -f "$work/tmp.txt" "$work/tmp.bin"
  (cd "$work" && $runner "$prog" --prepare-only fw.mppt >"$work/out" 2>"$work/err")
  local rc=$?
  if [ "$rc" != 0 ] || ! grep -q "Write to tmp.bin file OK" "$work/out"; then
    echo "FAIL: width $width record size $raw: exit $rc"
    cat "$work/out" "$work/err"
    fails=$((fails + 1))
    return
  fi
  if python3 "$here/check_rows.py" "$work" "$size" "${head#0x}:$work/a.bin" "${second#0x}:$work/b.bin"; then
    passed=$((passed + 1))
  else
    echo "  (width $width, record size $raw)"
    fails=$((fails + 1))
  fi
}

one 16 16 16
one 16 32 32
one 16 64 32
one 24 16 16
one 24 32 32
one 24 64 32

echo "$passed passed, $fails failed"
[ "$fails" = 0 ]
