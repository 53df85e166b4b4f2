#!/usr/bin/env bash
# Runs every benchmark script under bench/ (bench/*/run.sh), in name order, then
# prints the figures they reported ("figure: NAME VALUE" lines) beside the ones
# measured before the work on them and their goals (bench/baseline.txt). Nothing
# here passes or fails on a figure: only a benchmark that could not run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
out=$(mktemp "${TMPDIR:-/tmp}/iapbench.XXXXXX")
trap 'rm -f "$out"' EXIT
for script in bench/*/run.sh; do
  [ -f "$script" ] || continue
  echo "== $script"
  bash "$script" 2>&1 | tee -a "$out" || status=1
done
echo
echo "== figures: before (bench/baseline.txt), now, goal"
python3 - bench/baseline.txt "$out" <<'PY'
import sys
now = {}
for line in open(sys.argv[2], errors="replace"):
    if line.startswith("figure: "):
        name, value = line[len("figure: "):].split()[:2]
        now[name] = value
print("%-22s %9s %9s %7s  %s" % ("figure", "before", "now", "goal", "what"))
for line in open(sys.argv[1]):
    if line.startswith("#") or not line.strip():
        continue
    name, before, goal, what = line.split(None, 3)
    value = now.get(name, "-")
    try:
        value = "%.3f" % float(value)
    except ValueError:
        pass
    print("%-22s %9s %9s %7s  %s" % (name, before, value, goal, what.strip()))
PY
exit $status
