#!/usr/bin/env bash
# A small drive that runs full: a 1 MiB tmpfs mapped into the tree's Wine prefix as a drive letter.
# Usage: diskfull-drive.sh mount|unmount <mount dir> <Wine prefix> <drive letter> <status file>
# "mount" always succeeds; the status file holds "ok", or the reason the drive is missing (the test
# then skips with that reason).
set -uo pipefail
action=$1 dir=$2 prefix=$3 letter=${4,,} status=$5
link="$prefix/dosdevices/$letter:"

unmount() {
  # Only our own link goes.
  if [ -L "$link" ] && [ "$(readlink "$link")" = "$dir" ]; then rm -f "$link"; fi
  if mountpoint -q "$dir" 2>/dev/null; then
    umount "$dir" 2>/dev/null || umount -l "$dir"
  fi
  [ -d "$dir" ] && rmdir "$dir" 2>/dev/null
  return 0
}

case $action in
mount)
  rm -f "$status"
  mkdir -p "$(dirname "$status")"
  unmount
  if [ ! -d "$prefix/dosdevices" ]; then
    echo "no Wine prefix at $prefix" >"$status"; exit 0
  fi
  if [ -e "$link" ]; then
    echo "drive $letter: is already taken in the Wine prefix" >"$status"; exit 0
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "not running as root: cannot mount a tmpfs" >"$status"; exit 0
  fi
  mkdir -p "$dir"
  if ! err=$(mount -t tmpfs -o size=1m,mode=0777 vek-diskfull "$dir" 2>&1); then
    rmdir "$dir" 2>/dev/null
    echo "mount -t tmpfs failed: $err" >"$status"; exit 0
  fi
  ln -s "$dir" "$link"
  echo ok >"$status"
  ;;
unmount)
  unmount
  rm -f "$status"
  ;;
*)
  echo "usage: $0 mount|unmount <dir> <prefix> <letter> <status>" >&2; exit 2
  ;;
esac
