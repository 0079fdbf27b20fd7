#!/usr/bin/env bash
# Makes a folder tree with links for the folder-deletion tests: Wine shows a Unix symbolic link
# to a folder as a reparse point (a junction-like link), which its own Win32 calls cannot make.
# (A link to a file shows as a plain file there, so none is made.)
#   <dir>/target/keep.txt       the links' target, which must survive
#   <dir>/tree/own.txt          a file of the tree
#   <dir>/tree/link -> target   a link to a folder inside the tree
#   <dir>/top -> target         a top folder that is itself a link
#   <dir>/outside/keep.txt      a folder outside the raced tree, which must survive
#   <dir>/via/race/{x,y}        a tree of two folders; while the test walks it, it swaps via for
#   <dir>/decoy/race/{x,y} -> outside   where both are links (absolute, still right once moved)
# (Wine moves a link's target rather than the link, and no folder the walk holds open: the test
# moves the folder above the tree.)
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir/target/inner" "$dir/tree"
echo keep > "$dir/target/keep.txt"
echo keep > "$dir/target/inner/deep.txt"
echo own > "$dir/tree/own.txt"
ln -s ../target "$dir/tree/link"
ln -s target "$dir/top"
mkdir -p "$dir/outside" "$dir/via/race/x" "$dir/via/race/y" "$dir/decoy/race"
echo keep > "$dir/outside/keep.txt"
echo own > "$dir/via/race/x/own.txt"
echo own > "$dir/via/race/y/own.txt"
ln -s "$(cd "$dir" && pwd)/outside" "$dir/decoy/race/x"
ln -s "$(cd "$dir" && pwd)/outside" "$dir/decoy/race/y"
