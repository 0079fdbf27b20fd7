#!/usr/bin/env bash
# Makes the signing fixtures of the trust tests, at test time, and trusts the test CA in the
# tree's Wine prefix.
#   make-signing-fixtures.sh <out-dir> <cert-tool.exe> [<pe-file>...]
# <out-dir> receives:
#   ca.crt/ca.key          the test code-signing CA, imported into the machine ROOT store
#   other-ca.crt           a CA that is NOT trusted
#   <signer>.crt/.key      one leaf per signer (see SIGNERS below), chain file <signer>.chain.pem
#   <signer>/<file>        each PE file signed by that signer
#   unsigned/<file>        each PE file as built, and <file>.sha256 its digest (64 lower-case hex)
#   tampered/<file>        each PE file signed by "level3", then one byte of its code changed
#   rootc-a.der, rootc-b.der, rootc-bundle.p7b   certificates for the certificate-store tests
# The CA is made once per out-dir and kept, so repeated runs add nothing new to the store.
set -euo pipefail
out=$1; tool=$2; shift 2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
cd "$out"

# signer name | subject | extended key usage ("-" for none)
SIGNERS=(
  "level3|/C=US/ST=Test State/L=Test City/O=Vek Test Publisher/OU=Vek Test Unit/CN=Vek Test Publisher|codeSigning"
  "level4|/C=US/ST=Test State/L=Test City/O=Vek Test Hardware/OU=Vek Test Drivers/CN=Vek Test Driver|codeSigning"
  "level5|/C=US/ST=Test State/L=Test City/O=Vek Test Five/CN=Vek Test Five|codeSigning"
  "other|/C=US/ST=Test State/L=Test City/O=Someone Else/OU=Elsewhere/CN=Someone Else|codeSigning"
  "nocodesign|/C=US/ST=Test State/L=Test City/O=Vek Test Publisher/OU=Vek Test Unit/CN=Vek Test Mail|emailProtection"
  "alternative|/C=US/O=Vek Test Alternative/CN=Vek Test Alternative|-"
  "untrusted|/C=US/ST=Test State/L=Test City/O=Vek Test Publisher/OU=Vek Test Unit/CN=Vek Test Publisher|codeSigning"
  # The maker's unit, which the launcher trusts with its built-in signer names: the demo and the
  # end-to-end tests sign the plug-in and the launcher with it.
  "maker|/C=US/ST=Test State/L=Test City/O=Vek Demo Publisher/OU=Keel Core/CN=Vek Demo Publisher|codeSigning"
)

ca() { # name subject
  [ -f "$1.crt" ] && return
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.crt" -days 3650 -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}
ca ca "/O=Vek Test/CN=Vek Test Code Signing CA"
ca other-ca "/O=Vek Test/CN=Vek Test Untrusted CA"

for entry in "${SIGNERS[@]}"; do
  IFS='|' read -r name subject eku <<<"$entry"
  issuer=ca
  [ "$name" = untrusted ] && issuer=other-ca
  if [ ! -f "$name.crt" ]; then
    openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "$subject" 2>/dev/null
    ext="basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature"
    [ "$eku" != "-" ] && ext="$ext
extendedKeyUsage=$eku"
    openssl x509 -req -in "$name.csr" -CA "$issuer.crt" -CAkey "$issuer.key" -CAcreateserial -days 3650 \
      -out "$name.crt" -extfile <(echo "$ext") 2>/dev/null
    rm -f "$name.csr"
  fi
  cat "$name.crt" "$issuer.crt" >"$name.chain.pem"
done

# Certificates for the store tests: fresh each run, so a test that adds them finds them new.
for n in a b; do
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "rootc-$n.key" -out "rootc-$n.crt" -days 30 \
    -subj "/O=Vek Test/CN=Vek Test Store Certificate $n $RANDOM$RANDOM" 2>/dev/null
  openssl x509 -in "rootc-$n.crt" -outform DER -out "rootc-$n.der"
done
openssl crl2pkcs7 -nocrl -certfile rootc-a.crt -certfile rootc-b.crt -outform DER -out rootc-bundle.p7b

for pe in "$@"; do
  file=$(basename "$pe")
  mkdir -p unsigned tampered
  cp "$pe" "unsigned/$file"
  sha256sum "unsigned/$file" | cut -c1-64 | tr -d '\n' >"unsigned/$file.sha256"
  for entry in "${SIGNERS[@]}"; do
    IFS='|' read -r name _ _ <<<"$entry"
    bash "$here/sign-file.sh" "$out" "$name" "$pe" "$name/$file"
  done
  # One byte inside the first section's raw data changes: the digest no longer matches.
  cp "level3/$file" "tampered/$file"
  python3 - "tampered/$file" <<'PY'
import struct, sys
p = sys.argv[1]
data = bytearray(open(p, 'rb').read())
pe = struct.unpack_from('<I', data, 0x3C)[0]
sections = struct.unpack_from('<H', data, pe + 6)[0]
optional = struct.unpack_from('<H', data, pe + 20)[0]
first = pe + 24 + optional
raw = struct.unpack_from('<I', data, first + 20)[0]
data[raw + 16] ^= 0xFF
open(p, 'wb').write(bytes(data))
PY
done

# Trust the CA in this tree's prefix (a process sees the store as it was when it started).
winpath="Z:${PWD//\//\\}\\ca.crt"
bash "$here/../wine-run.sh" "$tool" add ROOT "$winpath"
