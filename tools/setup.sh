#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; skips what is there.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

pkgs=(mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
      wine wine32:i386 wine64 fonts-wine xvfb xauth imagemagick
      nlohmann-json3-dev libboost-dev googletest
      openssl osslsigncode wixl python3 nginx tinyproxy
      cmake ninja-build make curl ccache)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# tinyproxy's package starts a system instance; the tests start their own.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now tinyproxy nginx >/dev/null 2>&1 || true; fi
$SUDO service tinyproxy stop >/dev/null 2>&1 || true
$SUDO service nginx stop >/dev/null 2>&1 || true
