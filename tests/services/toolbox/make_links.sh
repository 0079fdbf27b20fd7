#!/usr/bin/env bash
# Makes a folder tree with links for the folder-deletion tests: Wine shows a Unix symbolic link
# to a folder as a reparse point (a junction-like link), which its own Win32 calls cannot make.
# (A link to a file shows as a plain file there, so none is made.)
#   <dir>/target/keep.txt       the links' target, which must survive
#   <dir>/tree/own.txt          a file of the tree
#   <dir>/tree/link -> target   a link to a folder inside the tree
#   <dir>/top -> target         a top folder that is itself a link
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir/target/inner" "$dir/tree"
echo keep > "$dir/target/keep.txt"
echo keep > "$dir/target/inner/deep.txt"
echo own > "$dir/tree/own.txt"
ln -s ../target "$dir/tree/link"
ln -s target "$dir/top"
