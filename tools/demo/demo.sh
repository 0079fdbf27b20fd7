#!/usr/bin/env bash
# The launcher's main job end to end: makes the demo product (a signed installation plug-in, a
# payload, a manifest), serves it over HTTPS from nginx on loopback, appends the manifest to a copy
# of the launcher, signs it, runs it under Wine and prints what happened.
# Called by `make demo` after the build; the Wine prefix of the tree is ready.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

# The launcher build that Wine can run here: the 32-bit one where 32-bit Wine works.
tree=$(cd "$(bash tools/launcher-tree.sh)" && pwd)
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
  --plugin "$demo/signing/maker/VekDemoPlugin.dll" --plugin-type "$plugin_type" --ui-mode UNATTENDED --install-folder 'C:\VekDemo\Product' >/dev/null
python3 tools/packwriter/packwriter.py "$tree/bin/VekLauncher.exe" "$demo/manifest.json" "$demo/VekLauncher-packed.exe"
bash tools/signing/sign-file.sh "$demo/signing" maker "$demo/VekLauncher-packed.exe" "$demo/VekLauncher.exe"

# The run: unattended, so that the main window shows the progress and the launcher ends by itself
# after a success. Its window is on the tree's Xvfb display (or on $DISPLAY), photographed while
# it runs; the fullest picture is kept.
echo "demo: serving https://localhost:$port/ ; running VekLauncher.exe /UNATTENDED"
display=${DISPLAY:-$(cat "$tree/wine.display" 2>/dev/null || true)}
mkdir -p "$demo/shots"
set +e
( [ -n "${DISPLAY:-}" ] && export VEK_USE_DISPLAY=1; timeout 300 bash tools/wine-run.sh "$demo/VekLauncher.exe" /UNATTENDED ) &
launcher=$!
shot=0
while kill -0 "$launcher" 2>/dev/null; do
  if [ -n "$display" ] && command -v import >/dev/null; then
    import -display "$display" -window root "$demo/shots/shot-$shot.png" 2>/dev/null
    shot=$((shot + 1))
  fi
  sleep 0.5
done
wait "$launcher"
rc=$?
set -e
best=$(ls -S "$demo"/shots/*.png 2>/dev/null | head -1 || true)
[ -n "$best" ] && cp "$best" "$demo/screenshot.png"

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
