#!/bin/sh
# bsdtar.sh [<out_dir>]: builds the tar.exe that Windows ships — libarchive's
# bsdtar — from Debian's libarchive source package, with MinGW-w64, as a static
# 64-bit console program that reads zip archives through zlib and nothing else.
# The result, <out_dir>/tar.exe (default: build/bsdtar in the repository, shared
# by every build folder), is what prefix.sh installs as system32\tar.exe. Built
# once: the next run finds it and does nothing (the stamp names the source
# version). Needs deb-src entries (scripts/deps.sh adds them) and takes a few
# minutes on two cores.
set -eu

OUT=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build/bsdtar}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
HOST=x86_64-w64-mingw32

say() { printf 'bsdtar.sh: %s\n' "$*"; }

version=$(apt-cache showsrc libarchive 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1)
if [ -z "$version" ]; then
    echo "bsdtar.sh: apt knows no source package libarchive (run scripts/deps.sh)" >&2
    exit 1
fi
if [ -f "$OUT/tar.exe" ] && [ "$(cat "$OUT/.stamp" 2>/dev/null || true)" = "$version" ]; then
    exit 0
fi

say "building libarchive $version's bsdtar for Windows (takes a few minutes)"
rm -rf "$OUT"
mkdir -p "$OUT/src"
cd "$OUT/src"
# Root cannot hand the download to apt's sandbox user in a root-only folder.
apt-get -o APT::Sandbox::User=root -qq source --download-only "libarchive=$version" >/dev/null
dpkg-source --no-check -x libarchive_*.dsc tree >/dev/null
cd tree
# Debian's patches touch configure.ac and Makefile.am without regenerating
# what they produce; the shipped outputs serve, so they are marked newer.
touch aclocal.m4
touch configure config.h.in
find . -name Makefile.in -exec touch {} +
# Windows' tar reads zip archives (deflate) and needs nothing beyond zlib for them.
./configure -q --host=$HOST --enable-static --disable-shared \
    --enable-bsdtar=static --disable-bsdcpio --disable-bsdcat \
    --with-zlib --without-bz2lib --without-libb2 --without-iconv --without-lz4 \
    --without-zstd --without-lzma --without-lzo2 --without-cng --without-mbedtls \
    --without-nettle --without-openssl --without-xml2 --without-expat \
    --disable-acl --disable-xattr \
    CFLAGS="-O2 -g0" LDFLAGS="-static" >/dev/null
make -s -j"$(nproc)" bsdtar.exe >/dev/null 2>"$OUT/make.log" || { cat "$OUT/make.log" >&2; exit 1; }
$HOST-strip -o "$OUT/tar.exe" bsdtar.exe
cd "$OUT"
rm -rf src make.log
echo "$version" >"$OUT/.stamp"
say "built $OUT/tar.exe ($(wc -c <"$OUT/tar.exe") bytes)"
