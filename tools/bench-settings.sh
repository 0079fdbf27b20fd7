#!/usr/bin/env bash
# Settings store benchmark (part of make bench): 10,000 writes, each one committed transaction
# with the journal on, and 10,000 reads through the settings manager under Wine, with the file
# size after them; beside them the same through Python's sqlite3 (native, rollback journal, one
# transaction per write) as the yardstick. Prints figures only and never fails.
set -uo pipefail
cd "$(dirname "$0")/.."
# The launcher's tree that Wine runs here (tools/bench.sh names it).
tree=${BENCH_TREE:-$(bash tools/launcher-tree.sh)}
count=${SETTINGS_BENCH_COUNT:-10000}
if ! cmake --build "$tree" --target SettingsBench >/dev/null; then
  echo "bench: SettingsBench does not build; no figures"
  exit 0
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
echo "== settings store through the manager (Wine), $count writes and reads"
timeout 900 tools/wine-run.sh "$tree/bin/SettingsBench.exe" "Z:${dir//\//\\}\\bench.dat" "$count" 2>/dev/null | tr -d '\r' ||
  echo "bench: SettingsBench failed or timed out"
echo "== sqlite3 (native Python), $count writes and reads"
python3 - "$dir/bench.sqlite" "$count" <<'PY'
import os, sqlite3, sys, time
path, n = sys.argv[1], int(sys.argv[2])
db = sqlite3.connect(path, isolation_level=None)
db.execute("PRAGMA journal_mode=DELETE")
db.execute("CREATE TABLE v (section TEXT, name TEXT, value INTEGER, PRIMARY KEY (section, name))")
t = time.perf_counter()
for i in range(n):
    db.execute("BEGIN")
    db.execute("INSERT OR REPLACE INTO v VALUES (?, ?, ?)", ("Bench\\Section%03d" % (i % 100), "Value%05d" % i, i))
    db.execute("COMMIT")
w = time.perf_counter() - t
t = time.perf_counter()
for i in range(n):
    db.execute("SELECT value FROM v WHERE section=? AND name=?", ("Bench\\Section%03d" % (i % 100), "Value%05d" % i)).fetchone()
r = time.perf_counter() - t
db.close()
print("sqlite_write_seconds=%.3f\nsqlite_writes_per_second=%.0f" % (w, n / w))
print("sqlite_read_seconds=%.3f\nsqlite_reads_per_second=%.0f\nsqlite_file_bytes=%d" % (r, n / r, os.path.getsize(path)))
PY
exit 0
