#!/usr/bin/env bash
# Builds the package reader's fixtures: small programs of both bitnesses with packages appended
# by the package writer, signed with a throwaway key made here.
# Usage: make_fixtures.sh OUTDIR SOURCEDIR PACKWRITER CC64 CC32
set -euo pipefail
out=$1 src=$2 pw=$3 cc64=$4 cc32=$5
mkdir -p "$out"
cd "$out"
pack() { python3 "$pw" "$@"; }

"$cc64" -O2 -s -o host64.exe "$src/data/PackageHost.c"
"$cc64" -O2 -o host64_symbols.exe "$src/data/PackageHost.c" # COFF symbol table behind the sections
"$cc32" -O2 -s -o host32.exe "$src/data/PackageHost.c"

cp "$src/data/manifest.json" manifest.json
{ printf '\xEF\xBB\xBF'; cat manifest.json; } >manifest_utf8bom.json
{ printf '\xFF\xFE'; iconv -f UTF-8 -t UTF-16LE manifest.json; } >manifest_utf16le.json
{ printf '\xFE\xFF'; iconv -f UTF-8 -t UTF-16BE manifest.json; } >manifest_utf16be.json
printf '[1, 2, 3]' >manifest_array.json
printf '{"vek": ' >manifest_broken.json

cp host64.exe plain.exe
pack --format 2 host64.exe manifest.json v2.exe
pack --format 5 host64.exe manifest.json v5.exe
pack --format 2 host32.exe manifest.json v2_pe32.exe
pack --format 5 host32.exe manifest.json v5_pe32.exe
pack --format 5 host64_symbols.exe manifest.json v5_symbols.exe
pack --format 5 host64.exe manifest_utf8bom.json v5_utf8bom.exe
pack --format 5 host64.exe manifest_utf16le.json v5_utf16le.exe
pack --format 2 host64.exe manifest_utf16be.json v2_utf16be.exe
pack --format 5 host64.exe manifest_array.json v5_array.exe
pack --format 5 host64.exe manifest_broken.json v5_broken.exe

# Throwaway code-signing key and certificate, made anew for every build of the fixtures.
openssl req -x509 -newkey rsa:2048 -nodes -keyout sign.key -out sign.crt -days 2 \
  -subj "/CN=Vek Package Test Signer" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1
sign() { rm -f "$2"; osslsigncode sign -certs sign.crt -key sign.key -in "$1" -out "$2" >/dev/null; }
sign v2.exe signed_v2.exe            # package at E + 4, certificate table behind it
sign v5.exe signed_v5.exe
sign host64.exe signed_plain.exe     # certificate table at E, no package
pack --format 5 --after-signature signed_plain.exe manifest.json signed_after_v5.exe # behind the whole table
# The same package inside the certificate directory: the directory widened to the end of the file,
# which leaves the signature's hash unchanged. The reader takes it for no package.
python3 - signed_after_v5.exe signed_inner_v5.exe <<'EOF2'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
nt = struct.unpack_from("<I", data, 0x3C)[0]
entry = nt + (0x98 if struct.unpack_from("<H", data, nt + 24)[0] == 0x10B else 0xA8)
offset = struct.unpack_from("<I", data, entry)[0]
struct.pack_into("<I", data, entry + 4, len(data) - offset)
open(sys.argv[2], "wb").write(data)
EOF2
# SHA-256 inputs: an empty file and a large one that is no multiple of the read buffer, with the
# host's digests to compare against.
: >empty.bin
python3 -c "import sys; sys.stdout.buffer.write(bytes((i * 31 + i // 251) % 256 for i in range(3 * 1024 * 1024 + 4099)))" >large.bin
sha256sum large.bin | cut -c1-64 >large.sha256
touch stamp
