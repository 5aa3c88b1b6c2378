#!/bin/sh
# Makes the test certificates under <build_dir>/certs (once; a stamp makes
# re-runs free):
#
#   ca.key ca.pem ca.der          the test CA that the Wine prefix trusts
#   server.key server.pem         leaf for DNS:localhost, IP:127.0.0.1, IP:::1
#   untrusted-ca.key/.pem         a CA that nothing trusts
#   untrusted.key untrusted.pem   the same kind of leaf, signed by that CA
#
# Wine's crypt32 wants basicConstraints CA:TRUE on the issuer and matches the
# host name against the SAN; serverAuth in the EKU satisfies the SSL policy.
#
# Usage: certs.sh [<build_dir>]
set -eu

BUILD_DIR=${1:-${STONEWAKE_BUILD_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build/test}}
CERTS="$BUILD_DIR/certs"
[ -f "$CERTS/.stamp" ] && exit 0

make_ca() { # <name> <common name>
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 7300 \
        -keyout "$CERTS/$1.key" -out "$CERTS/$1.pem" -subj "/O=Stonewake Tests/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -addext "subjectKeyIdentifier=hash" 2>/dev/null
}

make_leaf() { # <leaf name> <ca name> <serial>
    ext="$CERTS/$1.ext"
    cat >"$ext" <<'EXT'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid,issuer
EXT
    openssl req -new -newkey rsa:2048 -nodes -sha256 \
        -keyout "$CERTS/$1.key" -out "$CERTS/$1.csr" \
        -subj "/O=Stonewake Tests/CN=localhost" 2>/dev/null
    openssl x509 -req -sha256 -days 3650 -in "$CERTS/$1.csr" \
        -CA "$CERTS/$2.pem" -CAkey "$CERTS/$2.key" -set_serial "$3" \
        -extfile "$ext" -out "$CERTS/$1.pem" 2>/dev/null
    rm -f "$CERTS/$1.csr" "$ext"
}

printf 'certs.sh: making test certificates in %s\n' "$CERTS"
rm -rf "$CERTS"
mkdir -p "$CERTS"
make_ca ca "Stonewake Test CA"
openssl x509 -in "$CERTS/ca.pem" -outform DER -out "$CERTS/ca.der"
make_leaf server ca 4097
make_ca untrusted-ca "Stonewake Untrusted CA"
make_leaf untrusted untrusted-ca 4098
chmod 600 "$CERTS"/*.key
openssl verify -CAfile "$CERTS/ca.pem" "$CERTS/server.pem" >/dev/null
if openssl verify -CAfile "$CERTS/ca.pem" "$CERTS/untrusted.pem" >/dev/null 2>&1; then
    echo "certs.sh: the untrusted leaf verifies against the test CA" >&2
    exit 1
fi
touch "$CERTS/.stamp"
