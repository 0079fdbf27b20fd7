#!/usr/bin/env bash
# Benchmarks (make bench): download throughput of a 1 GiB file from the local HTTPS server, three
# ways in one run: the download engine, a bare WinHTTP loop (both under Wine), and native curl.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=build/x64
cmake --build "$tree" --target DownloadBench >/dev/null
info=$tree/testserver/bench-server.json
python3 tools/testserver/https_server.py start --info "$info" --certs "$tree/certs" --lifetime 1800
trap 'python3 tools/testserver/https_server.py stop --info "$info" >/dev/null 2>&1 || true' EXIT
port=$(python3 -c "import json;print(json.load(open('$info'))['https_port'])")
url="https://localhost:$port/_gen/1073741824/bench.bin"
dir=$(mktemp -d)
echo "== download engine and bare WinHTTP loop (Wine)"
tools/wine-run.sh "$tree/bin/DownloadBench.exe" "$url" "Z:${dir//\//\\}"
echo "== native curl"
curl -s --cacert "$tree/certs/ca.crt" -o "$dir/curl.bin" -w 'curl_MBps=%{speed_download}\n' "$url" |
  awk -F= '{printf "curl_MBps=%.1f\n", $2/1048576}'
rm -rf "$dir"
