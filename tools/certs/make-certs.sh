#!/usr/bin/env bash
# Test certificate maker: writes a test CA and server certificates into one folder, with openssl.
#
# Usage: tools/certs/make-certs.sh <out-dir>
# Made once per folder (kept while the CA is still valid), so the CA that the Wine prefix trusts
# stays the same between runs. Files (PEM unless named .der):
#   ca.crt ca.key ca.der          "Vek Test Root CA"; ImportRootCert puts ca.der into the machine
#                                 ROOT store of the Wine prefix (CTest fixture net_ca_trusted)
#   localhost.crt/.key            server certificate for DNS:localhost signed by the CA; the chain
#                                 file localhost-chain.crt holds leaf + CA (Wine matches DNS names
#                                 only, so servers are addressed as https://localhost:<port>/)
#   wrongname.crt/.key            signed by the CA for DNS:wrong.invalid (name mismatch)
#   expired.crt/.key              signed by the CA for localhost, valid 2001-2002 (expired)
#   selfsigned.crt/.key           self-signed for localhost, not trusted (unknown issuer)
#   inter-ca.crt/.key, chained-localhost.crt/.key, chained-localhost-chain.crt
#                                 a two-level chain: CA -> intermediate -> localhost leaf
#   pinned-name.crt/.key, pinned-name-chain.crt
#                                 signed by the CA for DNS:pinned.vek.test, a dotted name that
#                                 a white-list entry can cover (tests map it to 127.0.0.1)
# Add further chains here as tests need them: each is made only when its files are missing.
set -euo pipefail
out=${1:?usage: make-certs.sh <out-dir>}
mkdir -p "$out"
cd "$out"
days=3650

# A CA that is about to expire is made afresh (with everything signed by it).
if [ -f ca.crt ] && ! openssl x509 -in ca.crt -noout -checkend 86400 >/dev/null 2>&1; then
  rm -f ./*.crt ./*.key ./*.der ./*.srl ./*.csr ./*.ext
fi

if [ ! -f ca.crt ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days $days \
    -subj "/O=Vek Test/CN=Vek Test Root CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" 2>/dev/null
  openssl x509 -in ca.crt -outform der -out ca.der
fi

# leaf <name> <dns> <issuer-base> [extra x509 args...]
leaf() {
  local name=$1 dns=$2 issuer=$3; shift 3
  [ -f "$name.crt" ] && return 0
  openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" \
    -subj "/O=Vek Test/CN=$dns" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:%s\n' "$dns" >"$name.ext"
  openssl x509 -req -in "$name.csr" -CA "$issuer.crt" -CAkey "$issuer.key" -CAcreateserial \
    -extfile "$name.ext" -out "$name.crt" "$@" 2>/dev/null
  rm -f "$name.csr" "$name.ext"
}

leaf localhost localhost ca -days $days
cat localhost.crt ca.crt >localhost-chain.crt
leaf wrongname wrong.invalid ca -days $days

if [ ! -f expired.crt ]; then
  # openssl x509 -req cannot back-date; "openssl ca" can, with its own small database.
  openssl req -newkey rsa:2048 -nodes -keyout expired.key -out expired.csr \
    -subj "/O=Vek Test/CN=localhost" 2>/dev/null
  mkdir -p ca-db && : >ca-db/index.txt && echo 1000 >ca-db/serial
  cat >ca-db/ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = ca-db/index.txt
serial = ca-db/serial
new_certs_dir = ca-db
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
organizationName = optional
commonName = supplied
[leaf]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost
CNF
  openssl ca -batch -config ca-db/ca.cnf -cert ca.crt -keyfile ca.key -extensions leaf \
    -startdate 20010101000000Z -enddate 20020101000000Z -in expired.csr -out expired.crt \
    -notext >/dev/null 2>&1
  rm -f expired.csr
fi

if [ ! -f selfsigned.crt ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout selfsigned.key -out selfsigned.crt -days $days \
    -subj "/O=Vek Test/CN=localhost" -addext "subjectAltName=DNS:localhost" 2>/dev/null
fi

if [ ! -f inter-ca.crt ]; then
  openssl req -newkey rsa:2048 -nodes -keyout inter-ca.key -out inter-ca.csr \
    -subj "/O=Vek Test/CN=Vek Test Intermediate CA" 2>/dev/null
  printf 'basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n' >inter-ca.ext
  openssl x509 -req -in inter-ca.csr -CA ca.crt -CAkey ca.key -CAcreateserial -extfile inter-ca.ext \
    -out inter-ca.crt -days $days 2>/dev/null
  rm -f inter-ca.csr inter-ca.ext
fi
leaf chained-localhost localhost inter-ca -days $days
cat chained-localhost.crt inter-ca.crt >chained-localhost-chain.crt
leaf pinned-name pinned.vek.test ca -days $days
cat pinned-name.crt ca.crt >pinned-name-chain.crt
echo "certificates in $out"
