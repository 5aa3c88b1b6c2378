#!/bin/sh
# keys.sh DIR: a publisher key pair for a build of this machine's own, made
# once: DIR/publisher.key (PEM, readable by its owner only) and
# DIR/publisher.pub (the public key's X and Y as 128 lower-case hex digits).
# Prints the public key. The release tool's keygen makes the same two files.
set -eu
dir=$1
mkdir -p "$dir"
if [ ! -s "$dir/publisher.key" ] || [ ! -s "$dir/publisher.pub" ]; then
    (umask 077 && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$dir/publisher.key")
    # The public key's DER form ends with 04, X and Y.
    openssl pkey -in "$dir/publisher.key" -pubout -outform DER | tail -c 64 | od -An -v -tx1 | tr -d ' \n' \
        > "$dir/publisher.pub"
fi
cat "$dir/publisher.pub"
