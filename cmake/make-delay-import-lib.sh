#!/usr/bin/env bash
# Makes a delay-load import library from the toolchain's ordinary import library of a system DLL:
# every function it imports becomes a function that the program binds on its first call (through
# the C runtime's delay-load helper, which loads the DLL by name at that moment).
# Usage: make-delay-import-lib.sh <nm> <dlltool> <import library> <dll name> <output> <x86|x64>
set -euo pipefail
nm=$1 dlltool=$2 input=$3 dll=$4 output=$5 arch=$6
# 32-bit import symbols carry one more leading underscore, and the DLL exports the names
# without their "@n" suffix (--kill-at).
if [ "$arch" = x86 ]; then prefix=__imp__; killat=-k; else prefix=__imp_; killat=; fi
def=$output.def
{
  echo "LIBRARY $dll"
  echo "EXPORTS"
  "$nm" "$input" | awk -v p="$prefix" '$2 == "I" && index($3, p) == 1 { print substr($3, length(p) + 1) }' | sort -u
} > "$def"
if [ "$(wc -l < "$def")" -le 2 ]; then
  echo "no imports found in $input" >&2
  exit 1
fi
rm -f "$output"
"$dlltool" $killat -d "$def" -D "$dll" -y "$output"
