#!/usr/bin/env bash
# Benchmarks (make bench): download throughput and memory, and the SHA-256 of a large file.
# Loopback only, one Wine process per run so that each peak working set is that run's own.
#   idle                 a process that does nothing under Wine (the memory baseline)
#   bare / engine        a bare WinHTTP read loop of the engine's buffer rule and the download
#                        engine, 1 GiB each, run alternately BENCH_PAIRS times (default 4; the
#                        order flips every pair): a single run on a noisy machine cannot decide a
#                        few per cent. Medians of each, and the ratio of the medians. Both ways
#                        first make an untimed HEAD (the engine's size query; the bare loop's
#                        warm-up) and both allow TLS 1.2 only, as the engine's client does.
#   engine_1920MiB       the engine once at 1920 MiB, to show that its memory does not grow with
#                        the file size (Wine's WinHTTP reads Content-Length as a signed 32-bit
#                        number, so the size stays under 2 GiB)
#   curl                 native curl on the 1 GiB file (the loopback's own speed)
#   start_to_first_request  the packed and signed launcher from its start under Wine to the first
#                        request the server sees for its product, median of BENCH_STARTS runs
#                        (default 7) after one warm-up run, alternating with its yardstick: a bare
#                        program of the same bitness that makes one WinHTTP request
#   BENCH_ONLY=start     the start benchmark alone; BENCH_START_TRACE=1 adds the table of the
#                        launcher's start-up steps from its start-up trace (tools/bench/start_bench.py)
#   BENCH_BUILD=1        first the CPU time of a clean build of each tree (tools/bench-build.sh)
#   sha_bare / sha       SHA-256 of the 1 GiB file: a bare CryptoAPI loop of 8 KiB reads and the
#                        launcher's vek::security::CalculateSHA256ForFile, alternately, and native
#                        sha256sum; medians and the ratio of the medians.
# Reading the memory figures: Wine's WinHTTP parks a finished connection in a pool and starts a
# collector thread for it (about 1 MB of working set); the engine's size query (HEAD) parks one
# before the download starts. Prints figures only: it never fails (exit 0), and each run is bounded
# in time.
set -uo pipefail
cd "$(dirname "$0")/.."
# Every benchmark runs the launcher's code in the build that Wine runs here: the 32-bit one where
# 32-bit Wine works, else the 64-bit build of the same sources (tools/configure.sh).
tree=$(bash tools/launcher-tree.sh)
echo "bench: the launcher's code from $tree"
# The build's CPU time, from a clean build of each tree, when asked: BENCH_BUILD=1.
if [ -n "${BENCH_BUILD:-}" ]; then bash tools/bench-build.sh; fi
only=${BENCH_ONLY:-}
# The settings store benchmark first: it needs no server.
[ -z "$only" ] && BENCH_TREE=$tree bash tools/bench-settings.sh
limit=600 # seconds per run
pairs=${BENCH_PAIRS:-4}
if ! cmake --build "$tree" --target DownloadBench >/dev/null; then
  echo "bench: DownloadBench does not build; no figures"
  exit 0
fi
info=$tree/testserver/bench-server.json
mkdir -p "$tree/testserver"
bash tools/certs/make-certs.sh "$tree/certs" >/dev/null
if ! python3 tools/testserver/https_server.py start --info "$info" --certs "$tree/certs" --lifetime 3600; then
  echo "bench: the local HTTPS server did not start; no figures"
  exit 0
fi
dir=$(mktemp -d)
trap 'python3 tools/testserver/https_server.py stop --info "$info" >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT
port=$(python3 -c "import json;print(json.load(open('$info'))['https_port'])")
url() { echo "https://localhost:$port/_gen/$1/bench.bin"; }
large=$((1024 * 1024 * 1024))
larger=$((1920 * 1024 * 1024))
winDir="Z:${dir//\//\\}"
out=$dir/figures.txt
: >"$out"

# run <label> <way> <args...>: one DownloadBench process; its key=value lines go to the figures
# with the way renamed to the label.
run() {
  local label=$1 way=$2
  shift 2
  timeout "$limit" tools/wine-run.sh "$tree/bin/DownloadBench.exe" "$way" "$@" 2>/dev/null | tr -d '\r' |
    sed -n "s/^${way}_/${label}_/p" >>"$out" || echo "bench: $label failed or timed out"
}

echo "== launcher start to first request (packed, signed, /SILENT)"
ltree=$(cd "$tree" && pwd)
if cmake --build "$ltree" --target VekLauncher VekDemoPlugin vek_trust_cert ImportRootCert FirstRequest >/dev/null &&
   VEK_BUILD_DIR=$ltree tools/wine-run.sh "$ltree/bin/ImportRootCert.exe" "$(pwd)/$tree/certs/ca.der" >/dev/null &&
   VEK_BUILD_DIR=$ltree bash tools/signing/make-signing-fixtures.sh "$dir/signing" \
     "$ltree/bin/vek_trust_cert.exe" "$ltree/bin/VekDemoPlugin.dll" >/dev/null; then
  VEK_BUILD_DIR=$ltree VEK_SERVER_INFO=$(pwd)/$info VEK_SIGNING_DIR=$dir/signing \
    timeout 1800 python3 tools/bench/start_bench.py "${BENCH_STARTS:-7}" || echo "bench: the start benchmark failed"
else
  echo "bench: the launcher or its fixtures do not build; no start figures"
fi
[ "$only" = start ] && exit 0

echo "== Wine: idle process; bare WinHTTP loop and download engine, 1 GiB, $pairs pairs; engine at 1920 MiB"
run idle idle
for i in $(seq 1 "$pairs"); do
  if [ $((i % 2)) -eq 1 ]; then
    run "bare_$i" bare "$(url "$large")" "$winDir"
    run "engine_$i" engine "$(url "$large")" "$winDir"
  else
    run "engine_$i" engine "$(url "$large")" "$winDir"
    run "bare_$i" bare "$(url "$large")" "$winDir"
  fi
done
run engine_1920MiB engine "$(url "$larger")" "$winDir"

echo "== native curl (1 GiB); its file is the one the digests read"
timeout "$limit" curl -s --cacert "$tree/certs/ca.crt" -o "$dir/digest.bin" -w 'curl_MBps=%{speed_download}\n' "$(url "$large")" |
  awk -F= '{printf "curl_MBps=%.1f\n", $2/1048576}' >>"$out" || echo "bench: curl failed or timed out"

echo "== SHA-256 of the 1 GiB file: bare CryptoAPI loop and the launcher's digest, $pairs pairs; native sha256sum"
if [ -s "$dir/digest.bin" ]; then
  cat "$dir/digest.bin" >/dev/null # into the page cache before the first timed read
  for i in $(seq 1 "$pairs"); do
    if [ $((i % 2)) -eq 1 ]; then
      run "sha_bare_$i" sha_bare "$winDir\\digest.bin"
      run "sha_$i" sha "$winDir\\digest.bin"
    else
      run "sha_$i" sha "$winDir\\digest.bin"
      run "sha_bare_$i" sha_bare "$winDir\\digest.bin"
    fi
  done
  start=$(date +%s%N)
  native=$(sha256sum "$dir/digest.bin" | cut -d' ' -f1)
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "sha256sum_seconds=%.3f\nsha256sum_MBps=%.1f\n", ns / 1e9, 1024 / (ns / 1e9) }' >>"$out"
  echo "sha256sum_digest=$native" >>"$out"
  rm -f "$dir/digest.bin"
fi

cat "$out"
# Derived figures: medians of each way and the ratio of the medians (time of the reference over
# time of the measured way, named so: 1 is as fast, below 1 slower), for the wall clock and for the CPU time
# of the process (steadier when the machine is busy); memory over the idle baseline.
python3 - "$out" "$pairs" <<'EOF'
import statistics, sys
v = {}
for line in open(sys.argv[1]):
    key, _, value = line.strip().partition("=")
    v[key] = value
pairs = int(sys.argv[2])
def series(way, what):
    return [float(v[f"{way}_{i}_{what}"]) for i in range(1, pairs + 1) if f"{way}_{i}_{what}" in v]
def report(reference, measured):
    for what in ("seconds", "cpu_seconds"):
        ref, got = series(reference, what), series(measured, what)
        if not ref or not got:
            continue
        for way, values in ((reference, ref), (measured, got)):
            print(f"{way}_median_{what}={statistics.median(values):.3f} (runs: {', '.join(f'{x:.3f}' for x in values)})")
        # Time of the reference over time of the measured way: above 1 the measured way is faster.
        name = f"ratio_{reference}_{what}_over_{measured}_{what}"
        print(f"{name}_of_medians={statistics.median(ref) / statistics.median(got):.3f}")
        paired = [r / g for r, g in zip(ref, got) if g > 0]
        print(f"{name}_per_pair={', '.join(f'{p:.3f}' for p in paired)}")
    for way in (reference, measured):
        mbps = series(way, "MBps")
        if mbps:
            print(f"{way}_median_MBps={statistics.median(mbps):.1f}")
report("bare", "engine")
report("sha_bare", "sha")
digests = {v[k] for k in v if k.endswith("_digest") and v[k]}
if digests:
    print(f"digests_agree={'yes' if len(digests) == 1 else 'no'}")
if "idle_peak_working_set_MB" in v:
    idle = float(v["idle_peak_working_set_MB"])
    for way in ("bare", "engine"):
        peaks = series(way, "peak_working_set_MB")
        if peaks:
            print(f"{way}_median_peak_working_set_over_idle_MB={statistics.median(peaks) - idle:.1f}")
    if "engine_1920MiB_peak_working_set_MB" in v and series("engine", "peak_working_set_MB"):
        growth = float(v["engine_1920MiB_peak_working_set_MB"]) - statistics.median(series("engine", "peak_working_set_MB"))
        print(f"engine_peak_working_set_growth_1GiB_to_1920MiB_MB={growth:.1f}")
EOF
exit 0
