# Shared by the install and package checks: BUILD_DIR and VERSION from the command
# line, a scratch directory removed at exit, and failures counted rather than
# stopping at the first.
set -u
build=$1 version=$2
scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The last line of a check: its verdict as the exit status.
finish() {
  [ $failures -eq 0 ] && echo "$1: all checks passed"
  exit $((failures > 0))
}
