#!/usr/bin/env bash
# A folder reached through a Unix symbolic link (Wine shows it as a reparse point): a run
# location below it must be refused by a launcher with full rights.
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir/target"
ln -s target "$dir/linked"
