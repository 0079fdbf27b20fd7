# Sourced by the Wine scripts: the environment of one build tree's Wine prefix.
# Usage: source tools/wine-env.sh <build-tree>
_tree=$(cd "$1" && pwd)
export WINEPREFIX="$_tree/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
# VEK_USE_DISPLAY=1 keeps the caller's DISPLAY (the demo on a person's screen).
if [ -z "${VEK_USE_DISPLAY:-}" ] && [ -f "$_tree/wine.display" ]; then export DISPLAY=$(cat "$_tree/wine.display"); fi
# The 64-bit tree uses Wine's 64-bit loader directly: the "wine" wrapper prefers the 32-bit
# loader, which a kernel without 32-bit support cannot start.
if [ "$(cat "$_tree/vek-arch" 2>/dev/null)" = "x64" ]; then
  VEK_WINE=/usr/lib/wine/wine64
  export WINELOADER=$VEK_WINE
else
  VEK_WINE=wine
fi
VEK_TREE="$_tree"
