#!/usr/bin/env bash
# Benchmarks (make bench): download throughput and memory, loopback only. From the local HTTPS
# server, one Wine process per way so each peak working set is that way's own:
#   idle             a process that does nothing under Wine (the memory baseline)
#   bare   1 GiB     a bare WinHTTP read loop of the engine's buffer rule
#   engine 256 MiB, 1 GiB, 1920 MiB   the download engine at three sizes, to show whether its
#                    memory grows with the file size
# and native curl on the 1 GiB file. Wine's WinHTTP reads Content-Length as a signed 32-bit number
# (a 2 GiB body ends one byte short), so the largest size stays under 2 GiB.
# Reading the memory figures: Wine's WinHTTP parks a finished connection in a pool and starts a
# collector thread for it (about 1 MB of working set) that ends some 5 s after the pool empties. The
# engine's size query (HEAD) parks one before the download starts, so a download shorter than about
# 5 s ends before that thread has gone and a new one started; the 256 MiB figure is then lower by
# that megabyte. Compare the 1 GiB and 1920 MiB figures for growth with the file size. Prints figures only: it never fails (exit 0), and each run is
# bounded in time.
set -uo pipefail
cd "$(dirname "$0")/.."
# The settings store benchmark first: it needs no server.
bash tools/bench-settings.sh
tree=build/x64
limit=600 # seconds per run
if ! cmake --build "$tree" --target DownloadBench >/dev/null; then
  echo "bench: DownloadBench does not build; no figures"
  exit 0
fi
info=$tree/testserver/bench-server.json
if ! python3 tools/testserver/https_server.py start --info "$info" --certs "$tree/certs" --lifetime 1800; then
  echo "bench: the local HTTPS server did not start; no figures"
  exit 0
fi
dir=$(mktemp -d)
trap 'python3 tools/testserver/https_server.py stop --info "$info" >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT
port=$(python3 -c "import json;print(json.load(open('$info'))['https_port'])")
url() { echo "https://localhost:$port/_gen/$1/bench.bin"; }
small=$((256 * 1024 * 1024))
large=$((1024 * 1024 * 1024))
larger=$((1920 * 1024 * 1024))
out=$dir/figures.txt
: >"$out"

# run <label> <way> [size]: one DownloadBench process; its key=value lines go to the figures with
# the way renamed to the label.
run() {
  local label=$1 way=$2 size=${3:-}
  local args=("$way")
  [ -n "$size" ] && args+=("$(url "$size")" "Z:${dir//\//\\}")
  timeout "$limit" tools/wine-run.sh "$tree/bin/DownloadBench.exe" "${args[@]}" 2>/dev/null | tr -d '\r' |
    sed -n "s/^${way}_/${label}_/p" >>"$out" || echo "bench: $label failed or timed out"
}

echo "== Wine: idle process, bare WinHTTP loop (1 GiB), download engine (256 MiB, 1 GiB, 1920 MiB)"
run idle idle
run bare bare "$large"
run engine_256MiB engine "$small"
run engine engine "$large"
run engine_1920MiB engine "$larger"
echo "== native curl (1 GiB)"
timeout "$limit" curl -s --cacert "$tree/certs/ca.crt" -o "$dir/curl.bin" -w 'curl_MBps=%{speed_download}\n' "$(url "$large")" |
  awk -F= '{printf "curl_MBps=%.1f\n", $2/1048576}' >>"$out" || echo "bench: curl failed or timed out"
rm -f "$dir/curl.bin"

cat "$out"
# Derived figures: the ratio engine/bare (time of the bare loop over time of the engine, 1 GiB),
# and each memory figure over the idle baseline.
awk -F= '{v[$1]=$2}
  END {
    if (v["engine_seconds"] > 0 && v["bare_seconds"] > 0)
      printf "ratio_engine_bare=%.3f\n", v["bare_seconds"] / v["engine_seconds"];
    if ("idle_peak_working_set_MB" in v) {
      n = split("bare engine_256MiB engine engine_1920MiB", ways, " ");
      for (i = 1; i <= n; i++)
        if ((ways[i] "_peak_working_set_MB") in v)
          printf "%s_peak_working_set_over_idle_MB=%.1f\n", ways[i],
                 v[ways[i] "_peak_working_set_MB"] - v["idle_peak_working_set_MB"];
    }
    if (("engine_peak_working_set_MB" in v) && ("bare_peak_working_set_MB" in v))
      printf "engine_peak_working_set_over_bare_MB=%.1f\n",
             v["engine_peak_working_set_MB"] - v["bare_peak_working_set_MB"];
    if (("engine_peak_working_set_MB" in v) && ("engine_1920MiB_peak_working_set_MB" in v))
      printf "engine_peak_working_set_growth_1GiB_to_1920MiB_MB=%.1f\n",
             v["engine_1920MiB_peak_working_set_MB"] - v["engine_peak_working_set_MB"];
  }' "$out"
exit 0
