#!/usr/bin/env bash
# Maps the test name pinned.vek.test to 127.0.0.1, so that a server on loopback can be reached
# under a dotted name that a pinning white-list entry covers ("localhost" never can be).
# Usage: pinned-name.sh <Wine prefix> <status file>
# The entry goes into the prefix's hosts file (where Windows looks) and, because Wine resolves
# names through the host's resolver and never reads that file, into /etc/hosts as well. Both are
# added only when missing, under a lock: the trees and their tests share them. The script always
# succeeds; the status file holds "ok", or the reason the name does not resolve (the tests that
# need it then skip with that reason).
set -uo pipefail
prefix=$1 status=$2
name=pinned.vek.test
line="127.0.0.1 $name"
rm -f "$status"
mkdir -p "$(dirname "$status")"

add_entry() { # <hosts file> <line end>
  local file=$1 eol=$2
  (
    flock 9
    grep -Eq "^[[:space:]]*127\.0\.0\.1[[:space:]].*\b$name\b" "$file" 2>/dev/null && exit 0
    # A hosts file that does not end in a line feed would glue the entry to its last line.
    [ -s "$file" ] && [ -n "$(tail -c1 "$file")" ] && printf '%b' "$eol" >>"$file"
    printf '%s%b' "$line" "$eol" >>"$file"
  ) 9>/tmp/vek-pinned-name.lock
}

etc="$prefix/drive_c/windows/system32/drivers/etc"
if [ -d "$etc" ]; then add_entry "$etc/hosts" '\r\n'; fi

if ! getent ahostsv4 "$name" 2>/dev/null | grep -q '^127\.0\.0\.1' && [ -w /etc/hosts ]; then
  add_entry /etc/hosts '\n'
fi
if getent ahostsv4 "$name" 2>/dev/null | grep -q '^127\.0\.0\.1'; then
  echo ok >"$status"
else
  echo "$name does not resolve to 127.0.0.1 and /etc/hosts is not writable (add \"$line\" to it)" >"$status"
fi
exit 0
