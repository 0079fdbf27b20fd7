#!/usr/bin/env bash
# A launcher data folder that is a Unix symbolic link (Wine shows it as a reparse point), and a
# file with a second name (a hard link), for the tests of folders that another user could have
# redirected:
#   <dir>/target/               what the link points at
#   <dir>/linked -> target      a data folder that is a link
#   <dir>/plain/                a data folder of its own
#   <dir>/victim.txt            a file that must keep its content
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir/target" "$dir/plain"
ln -s target "$dir/linked"
echo victim > "$dir/victim.txt"
