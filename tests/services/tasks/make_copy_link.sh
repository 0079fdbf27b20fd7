#!/usr/bin/env bash
# A common data folder for the launcher-copy test whose copy destination is already a link
# (Wine shows a Unix symbolic link as one): the copy must replace the link, not write through it.
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir/data/Talvern/Vek/bin" "$dir/victim"
echo victim > "$dir/victim/victim.exe"
ln -s ../../../../victim/victim.exe "$dir/data/Talvern/Vek/bin/linked.exe"
