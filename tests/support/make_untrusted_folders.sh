#!/usr/bin/env bash
# Folders and files that another user could have planted where an elevated launcher keeps its
# data, for the tests that show such a place is refused. Wine shows a Unix symbolic link to a
# folder as a reparse point (its own Win32 calls cannot make one; a link to a file it shows as
# that file, so planted files are hard links here), and reports a file of another
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
#   <dir>/lock-linked/_lck -> ../lock-target     a data folder whose lock folder is a link
#   <dir>/lock-file-linked/_lck/_<lock id>G      a lock file that is a second name of lock-victim.txt
#   <dir>/data-foreign/                          a data folder of another account, for its entries
#   <dir>/lck-foreign/_lck/                      a lock folder of another account
#   <dir>/lockfile-foreign/_lck/_<lock id>G      a lock file of another account
#   <dir>/lockheld-foreign/_lck/_<lock id>G      one more, which a test holds open as its owner's run
#   <dir>/log-linked/planted.log                  a log file that is a second name of log-victim.txt
#   <dir>/log-foreign/planted.log                 a log file of another account
set -euo pipefail
dir=$1
stamp="stamp-foreign/Vallor/{086A63F0-6B13-4F29-9695-134E7A01E963}"
lock="_{5A1E-LOCK}G"
rm -rf "$dir"
mkdir -p "$dir/target" "$dir/plain" "$dir/foreign" "$dir/vendor-linked" "$dir/vendor-foreign/Vallor" "$dir/$stamp"
ln -s target "$dir/linked"
ln -s ../target "$dir/vendor-linked/Vallor"
echo victim > "$dir/victim.txt"
mkdir -p "$dir/lock-target" "$dir/lock-linked" "$dir/lock-file-linked/_lck" "$dir/data-foreign" \
    "$dir/lck-foreign/_lck" "$dir/lockfile-foreign/_lck"
ln -s ../lock-target "$dir/lock-linked/_lck"
echo victim > "$dir/lock-victim.txt"
ln "$dir/lock-victim.txt" "$dir/lock-file-linked/_lck/$lock"
echo foreign > "$dir/lockfile-foreign/_lck/$lock"
mkdir -p "$dir/lockheld-foreign/_lck"
echo foreign > "$dir/lockheld-foreign/_lck/$lock"
mkdir -p "$dir/log-linked" "$dir/log-foreign"
echo victim > "$dir/log-victim.txt"
ln "$dir/log-victim.txt" "$dir/log-linked/planted.log"
echo foreign > "$dir/log-foreign/planted.log"
for n in 1 2 3; do echo foreign > "$dir/foreign-$n.txt"; done
chown nobody "$dir/log-foreign/planted.log" "$dir/data-foreign" "$dir/lck-foreign/_lck" "$dir/lockfile-foreign/_lck/$lock" \
    "$dir/lockheld-foreign/_lck/$lock" "$dir/foreign" "$dir"/foreign-*.txt "$dir/vendor-foreign/Vallor" "$dir/$stamp" 2>/dev/null || true
