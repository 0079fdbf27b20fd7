#!/usr/bin/env bash
# Prepares the Wine prefix of one build tree and starts its Xvfb display and persistent
# wineserver. Idempotent and safe to call from parallel test runs (it takes a lock).
# Usage: tools/wine-prefix.sh <build-tree>
set -euo pipefail
tree=$(cd "${1:?build tree}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

# A kernel without 32-bit support cannot start Wine's 32-bit loader: the x86 tree then has no
# prefix, and its tests are built and run in the x64 tree (tools/configure.sh).
if [ "$(cat "$tree/vek-arch" 2>/dev/null)" = "x86" ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "wine-prefix: this kernel cannot run 32-bit programs; $tree gets no Wine prefix"
  exit 0
fi

exec 9>"$tree/.wine.lock"
flock 9

# alive <pid-file>: the process named there runs (a zombie does not count).
alive() {
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 1
  [ -n "$pid" ] && [ -r "/proc/$pid/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$pid/status"
}

# A display of its own for this tree.
display_alive() { [ -f "$tree/wine.display" ] && alive "$tree/xvfb.pid"; }
if ! display_alive; then
  exec 8>/tmp/.vek-xvfb.lock   # trees of several checkouts pick display numbers one at a time
  flock 8
  n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  setsid nohup Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 8>&- 9>&- &
  echo $! >"$tree/xvfb.pid"
  echo ":$n" >"$tree/wine.display"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  flock -u 8
fi

source "$here/wine-env.sh" "$tree"

# Wine commands run detached from our streams and our lock (their helpers outlive them).
quiet() { "$@" </dev/null >/dev/null 2>&1 8>&- 9>&-; }

# The persistent server must be the first Wine process of the prefix: one that wineboot
# started would end with it, and Wine helpers would then hold CTest's output pipes open.
# It runs in the foreground of a detached session so that its pid tells whether it lives.
start_server() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  setsid nohup wineserver -p -f </dev/null >/dev/null 2>&1 8>&- 9>&- &
  echo $! >"$tree/wineserver.pid"
  sleep 0.3
}
mkdir -p "$WINEPREFIX"
if ! alive "$tree/wineserver.pid"; then
  start_server
fi

if [ ! -f "$WINEPREFIX/.vek-ready" ]; then
  quiet "$VEK_WINE" wineboot -i
  quiet "$VEK_WINE" winecfg -v win10
  quiet "$VEK_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  for user in "$WINEPREFIX"/drive_c/users/*; do
    for d in Desktop Documents Downloads Music Pictures Videos; do
      if [ -L "$user/$d" ]; then rm -f "$user/$d"; mkdir -p "$user/$d"; fi
    done
  done
  touch "$WINEPREFIX/.vek-ready"
  # The services that the first boot started do not come up again cleanly (RpcSs fails and every
  # first window then waits 10 s for it): start the prefix afresh under a new persistent server.
  start_server
fi
# No program's windows are handed to a window manager (Xvfb runs none): a managed window makes
# Wine wait about 2 s for one whenever it is hidden or destroyed. This holds for the launcher and
# for the test programs that open its windows alike (a prefix made before this rule gets it here).
if [ ! -f "$WINEPREFIX/.vek-unmanaged" ]; then
  quiet "$VEK_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f
  touch "$WINEPREFIX/.vek-unmanaged"
fi
quiet "$VEK_WINE" cmd /c exit || true
