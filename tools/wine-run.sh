#!/usr/bin/env bash
# Runs a Windows program of a build tree under that tree's Wine prefix (CTest's emulator).
# The tree is found from the program's path (build/<arch>/bin/...) or from VEK_BUILD_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tree="${VEK_BUILD_DIR:-}"
if [ -z "$tree" ]; then
  tree=$(cd "$(dirname "$1")/.." && pwd)
fi
alive() {
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 1
  [ -n "$pid" ] && [ -r "/proc/$pid/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$pid/status"
}
if [ ! -f "$tree/wineprefix/.vek-ready" ] || ! alive "$tree/wineserver.pid" || ! alive "$tree/xvfb.pid"; then
  bash "$here/wine-prefix.sh" "$tree"
fi
source "$here/wine-env.sh" "$tree"
# Under CTest the program writes into a file of the tree, shown when it ends: a Windows process
# started by the test (a helper of Wine's, a program under test) inherits the Unix output of its
# parent whatever its handles say, and one that outlives the test would otherwise hold CTest's pipe
# open, so that CTest waits for the test's time-out although the test program has ended. The file
# stays behind while the program runs, so a test that hangs can be read there.
if [ -n "${VEK_CAPTURE_OUTPUT:-}" ]; then
  mkdir -p "$tree/test-output"
  out="$tree/test-output/$(basename "$1" .exe).$$.log"
  rc=0
  "$VEK_WINE" "$@" >"$out" 2>&1 </dev/null || rc=$?
  cat "$out"
  # Under Wine a program that dies of a stack overflow can end with exit code 0: a test program
  # that started its tests and never printed their closing summary did not finish them.
  if [ "$rc" = 0 ] && grep -q '^\[==========\] Running ' "$out" &&
     ! grep -Eq '^\[==========\] [0-9]+ tests? from [0-9]+ test suites? ran' "$out"; then
    echo "wine-run: $(basename "$1") ended with exit code 0 before its tests finished" >&2
    rc=1
  fi
  rm -f "$out"
  exit "$rc"
fi
exec "$VEK_WINE" "$@"
