#!/usr/bin/env bash
# The launcher's main job end to end: makes the demo product (a signed installation plug-in, a
# payload, a manifest), serves it over HTTPS from nginx on loopback, appends the manifest to a copy
# of the launcher, signs it, runs it under Wine and prints what happened.
# Called by `make demo` after the build; the Wine prefix of the tree is ready.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

# The launcher build that Wine can run here: the 32-bit one where 32-bit Wine works.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then tree=build/x86; else tree=build/x64; fi
tree=$(cd "$tree" && pwd)
if [ "$tree" = "$root/build/x86" ]; then
  echo "demo: running the 32-bit launcher ($tree)"
  plugin_type=job_plugin2
else
  echo "demo: this machine cannot run 32-bit Windows programs; running the 64-bit build of the same sources ($tree)"
  plugin_type=job_plugin64
fi
export VEK_BUILD_DIR=$tree
run() { bash "$root/tools/wine-run.sh" "$@"; }

demo=$tree/demo
rm -rf "$demo"
mkdir -p "$demo"
install_unix=$tree/wineprefix/drive_c/VekDemo/Product
rm -rf "$tree/wineprefix/drive_c/VekDemo"

# Certificates: the server's chain for localhost and the CA trusted in the prefix.
bash tools/certs/make-certs.sh "$tree/certs" >/dev/null
run "$tree/bin/ImportRootCert.exe" "$tree/certs/ca.der" >/dev/null

# Code signing: the plug-in and the launcher are signed by the demo publisher, trusted in the prefix.
bash tools/signing/make-signing-fixtures.sh "$demo/signing" "$tree/bin/vek_trust_cert.exe" \
  "$tree/bin/VekDemoPlugin.dll" >/dev/null

# The server, then the product that names its address.
mkdir -p "$demo/www"
port=$(bash tools/demo/nginx.sh start "$demo/server" "$demo/www" "$tree/certs/localhost-chain.crt" "$tree/certs/localhost.key")
trap 'bash "$root/tools/demo/nginx.sh" stop "$demo/server"' EXIT
python3 tools/demo/make-demo.py --out "$demo" --base-url "https://localhost:$port" \
  --plugin "$demo/signing/maker/VekDemoPlugin.dll" --plugin-type "$plugin_type" --install-folder 'C:\VekDemo\Product' >/dev/null
python3 tools/packwriter/packwriter.py "$tree/bin/VekLauncher.exe" "$demo/manifest.json" "$demo/VekLauncher-packed.exe"
bash tools/signing/sign-file.sh "$demo/signing" maker "$demo/VekLauncher-packed.exe" "$demo/VekLauncher.exe"

# The run: silent, so it ends by itself; its window is on the tree's display (or $DISPLAY).
echo "demo: serving https://localhost:$port/ ; running VekLauncher.exe /SILENT"
set +e
( [ -n "${DISPLAY:-}" ] && export VEK_USE_DISPLAY=1; timeout 300 bash tools/wine-run.sh "$demo/VekLauncher.exe" /SILENT )
rc=$?
set -e

echo
echo "== exit code: $rc"
echo "== requests the server saw:"
sed 's/^/   /' "$demo/server/access.log"
echo "== installed files (C:\\VekDemo\\Product):"
if [ -d "$install_unix" ]; then ls -l "$install_unix" | tail -n +2 | sed 's/^/   /'; else echo "   (none)"; fi
log=$(ls -t "$tree"/wineprefix/drive_c/ProgramData/Talvern/Vek/VekLauncher-*.log 2>/dev/null | head -1 || true)
if [ -n "$log" ]; then
  echo "== log excerpt ($log):"
  iconv -f UTF-16 -t UTF-8 "$log" | tr -d '\r' | tail -n 25 | sed 's/^/   /'
fi
[ -f "$demo/screenshot.png" ] && echo "== screenshot of the main window: $demo/screenshot.png"
exit $rc
