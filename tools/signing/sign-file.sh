#!/usr/bin/env bash
# Signs one PE file with a signer of the fixtures that make-signing-fixtures.sh made.
#   sign-file.sh <fixture-dir> <signer> <in> <out>
# Signers: level3 level4 level5 other nocodesign alternative untrusted (see make-signing-fixtures.sh).
set -euo pipefail
dir=$1; signer=$2; in=$3; out=$4
mkdir -p "$(dirname "$out")"
rm -f "$out"
osslsigncode sign -certs "$dir/$signer.chain.pem" -key "$dir/$signer.key" -h sha256 \
  -n "Vek test file" -in "$in" -out "$out" >/dev/null
