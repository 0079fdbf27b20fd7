#!/usr/bin/env bash
# Folders and files that another user could have planted where an elevated launcher keeps its
# data, for the tests that show such a place is refused. Wine shows a Unix symbolic link to a
# folder as a reparse point (its own Win32 calls cannot make one), and reports a file of another
# Unix user as owned by another account (S-1-5-7). Only root may give a file away: elsewhere the
# foreign entries keep our owner and the tests that need them skip.
#   <dir>/target/                    what the links point at
#   <dir>/linked -> target           a data folder that is a link
#   <dir>/plain/                     a data folder of its own
#   <dir>/victim.txt                 a file that must keep its content (hard-link tests)
#   <dir>/foreign/                   a data folder of another account
#   <dir>/foreign-*.txt              files of another account; a test moves one where it needs it
#   <dir>/vendor-linked/Vallor -> ../target    a vendor folder that is a link
#   <dir>/vendor-foreign/Vallor/               a vendor folder of another account
#   <dir>/stamp-foreign/Vallor/<stamp folder>/  the machine identifier's folder, of another account
set -euo pipefail
dir=$1
stamp="stamp-foreign/Vallor/{086A63F0-6B13-4F29-9695-134E7A01E963}"
rm -rf "$dir"
mkdir -p "$dir/target" "$dir/plain" "$dir/foreign" "$dir/vendor-linked" "$dir/vendor-foreign/Vallor" "$dir/$stamp"
ln -s target "$dir/linked"
ln -s ../target "$dir/vendor-linked/Vallor"
echo victim > "$dir/victim.txt"
for n in 1 2 3; do echo foreign > "$dir/foreign-$n.txt"; done
chown nobody "$dir/foreign" "$dir"/foreign-*.txt "$dir/vendor-foreign/Vallor" "$dir/$stamp" 2>/dev/null || true
