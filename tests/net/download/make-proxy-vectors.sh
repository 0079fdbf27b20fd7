#!/usr/bin/env bash
# Encrypts test proxy passwords the way the manifests' producer does: UTF-16LE text, zero-padded to
# the AES block, AES-256-CBC without PKCS#7 padding, Base64 of IV + ciphertext.
# Usage: make-proxy-vectors.sh <key hex> <output json>
set -euo pipefail
key=$1 out=$2
mkdir -p "$(dirname "$out")"
enc() { # password -> base64
  local iv tmp
  iv=$(openssl rand -hex 16)
  tmp=$(mktemp)
  printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE >"$tmp"
  local len pad
  len=$(stat -c %s "$tmp")
  pad=$(( (16 - len % 16) % 16 ))
  [ "$len" -eq 0 ] && pad=16
  head -c "$pad" /dev/zero >>"$tmp"
  { printf "$(printf %s "$iv" | sed 's/../\\x&/g')"; openssl enc -aes-256-cbc -nopad -K "$key" -iv "$iv" -in "$tmp"; } | base64 -w0
  rm -f "$tmp"
}
{
  printf '{\n'
  first=1
  for p in 's3cret' 'eight!!!' 'Pässwörd€ with spaces' 'a-much-longer-proxy-password-0123456789'; do
    [ $first -eq 1 ] || printf ',\n'
    first=0
    printf '  "%s": "%s"' "$p" "$(enc "$p")"
  done
  printf ',\n  "_31bytes": "%s"\n}\n' "$(head -c 31 /dev/urandom | base64 -w0)"
} >"$out.tmp"
mv "$out.tmp" "$out"
