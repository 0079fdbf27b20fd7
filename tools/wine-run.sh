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
exec "$VEK_WINE" "$@"
