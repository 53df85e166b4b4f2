#!/usr/bin/env bash
# iapflash's output contract: log lines on stdout, boxes on stderr as CAPTION: TEXT,
# exit 0 / 1 / 2. Usage: cli_contract.sh IAPFLASH [RUNNER]  (RUNNER: wine for .exe)
set -u
prog=$1
runner=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0
passed=0

run() {  # run ARGS...: sets out, err, rc (in $work)
  (cd "$work" && $runner "$prog" "$@" >"$work/out" 2>"$work/err")
  rc=$?
  out=$(tr -d '\r' <"$work/out")
  err=$(tr -d '\r' <"$work/err")
}

matches() { [[ $1 =~ $2 ]]; }

check() {  # check NAME CONDITION...
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    fails=$((fails + 1))
    echo "FAIL: $name"
    echo "  rc=$rc"
    echo "  stdout: $out"
    echo "  stderr: $err"
  fi
}

run --variant castrel --check-config
check "missing castrel config: exit 1" test "$rc" = 1
check "missing castrel config: the log line alone on stdout" test "$out" = "A config file is needed for IAP progress"
check "missing castrel config: the box on stderr" test "$(head -1 <<<"$err")" = "castrel: IAP Config File is not exist"
check "missing castrel config: then what was looked for" matches "$(sed -n 2p <<<"$err")" \
  '^iapflash: the configuration file for castrel is .*InvConfigFile\.ini: .'
check "missing castrel config: nothing else on stderr" test "$(wc -l <<<"$err")" = 2

cat >"$work/MpptConfigFile.ini" <<'INI'
[DEVICELIST]
DEVICECOUNT=1
[DEVICE0]
VID=0x0483
PID=0x5750
COMMUNICATBDRATE=9600
PROGRAMBDRATE=4800
RAWDATASIZE=32
ROMHEAD=0x8000
ROMTAIL=0xFFFF
INTSTART=0xFF00
INTEND=0xFFF0
PAGESIZE=0x200
IAPSTART=0xE000
IAPEND=0xEFF0
IAPMARK=0x8400
FLASHCMD=IAP#
INI
run --check-config
check "bad baud rate: the check fails, exit 1" test "$rc" = 1
check "bad baud rate: log line" test "$out" = "Please check the modify the Baud rate"
check "bad baud rate: the box, then the key and value at fault" \
  matches "$err" $'^solvane: IAP Config File is error\niapflash: [^\n]*\\[DEVICE0\\] PROGRAMBDRATE is 4800: the programmer takes 9600 or 2400$'

sed -i 's/^PAGESIZE=.*/PAGESIZE=0/' "$work/MpptConfigFile.ini"
run --variant solvane --check-config
check "zero page size: exit 1" test "$rc" = 1
check "zero page size: both lines in order" test "$out" = $'Please check the config file\nPlease check the modify the Baud rate'

run --variant nosuch --check-config
check "unknown variant: usage error" test "$rc" = 2
run --interface COM12 --check-config
check "unknown interface: usage error" test "$rc" = 2
run --help
check "help: exit 0 and explains the exit status" bash -c "[ $rc = 0 ] && grep -q 'Exit status' '$work/out'"
run
check "no firmware: usage error" test "$rc" = 2

echo "$passed passed, $fails failed"
[ "$fails" = 0 ]
