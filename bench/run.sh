#!/usr/bin/env bash
# Runs every benchmark script under bench/ (bench/*/run.sh), in name order.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for script in bench/*/run.sh; do
  [ -f "$script" ] || continue
  echo "== $script"
  bash "$script" || status=1
done
exit $status
