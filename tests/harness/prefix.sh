#!/bin/sh
# Prepares everything an end-to-end test run needs under one build folder:
#
#   <build>/certs/   the test certificates (made by certs.sh beside this file)
#   <build>/prefix/  a 64-bit Wine prefix with the null graphics driver
#                    (STONEWAKE_PREFIX_GRAPHICS=x11 keeps Wine's X11 driver,
#                    for pictures under Xvfb),
#                    the test CA in the CurrentUser Root store and, as
#                    system32\tar.exe, Windows' own tar (libarchive's bsdtar,
#                    built once by bsdtar.sh beside this file into build/bsdtar)
#
# Usage: prefix.sh [<build_dir>]   (default: $STONEWAKE_BUILD_DIR, then
#                                   build/test in the repository)
#
# Re-running is cheap: each step leaves a stamp and is skipped while its
# stamp matches. The trust step needs <build>/doubles/trustca.exe; while it is
# not built the step is skipped with a warning and is carried out by the next
# run that finds it. The tar double (<build>/doubles/tar.exe) is not installed
# here: a test that needs one of its faults puts it in place for itself.
set -eu

BUILD_DIR=${1:-${STONEWAKE_BUILD_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build/test}}
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
CERTS="$BUILD_DIR/certs"
PREFIX="$BUILD_DIR/prefix"
DOUBLES="$BUILD_DIR/doubles"

export WINEPREFIX="$PREFIX" WINEDEBUG=-all WINEARCH=win64

say() { printf 'prefix.sh: %s\n' "$*"; }
warn() { printf 'prefix.sh: warning: %s\n' "$*" >&2; }

# ---------------------------------------------------------------- certificates
sh "$(dirname "$0")/certs.sh" "$BUILD_DIR"
CA_SUM=$(sha256sum "$CERTS/ca.der" | cut -d' ' -f1)

# ---------------------------------------------------------------- Wine prefix
if [ ! -f "$PREFIX/.stamp-boot" ]; then
    say "creating Wine prefix $PREFIX (takes a few seconds)"
    rm -rf "$PREFIX"
    mkdir -p "$PREFIX"
    # No Mono or Gecko: the prefix needs neither, and fetching them needs a network.
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
    if [ "${STONEWAKE_PREFIX_GRAPHICS:-null}" = null ]; then
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1
    else
        # Xvfb has no window manager: Wine then draws the title bars itself.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    fi
    # The driver is read when the server starts: restart it.
    wineserver -k || true
    wineserver -w || true
    # Wine links Desktop, Documents, ... to the Unix home: make them plain
    # folders so nothing a test runs writes outside the build folder.
    for link in "$PREFIX"/drive_c/users/*/*; do
        if [ -L "$link" ]; then
            rm -f "$link"
            mkdir -p "$link"
        fi
    done
    touch "$PREFIX/.stamp-boot"
fi

# The CA goes into the CurrentUser Root store; the stamp holds the CA's digest
# so a new CA is trusted again.
if [ "$(cat "$PREFIX/.stamp-trust" 2>/dev/null || true)" != "$CA_SUM" ]; then
    if [ -f "$DOUBLES/trustca.exe" ]; then
        say "trusting the test CA in the prefix"
        # Wine maps Z: to the Unix root.
        ca_win="Z:$(printf '%s' "$CERTS/ca.der" | sed 's|/|\\|g')"
        wine "$DOUBLES/trustca.exe" "$ca_win"
        echo "$CA_SUM" >"$PREFIX/.stamp-trust"
    else
        warn "$DOUBLES/trustca.exe is not built: the test CA is not trusted yet"
    fi
fi

SYSTEM32="$PREFIX/drive_c/windows/system32"
BSDTAR="$(cd "$(dirname "$0")/../.." && pwd)/build/bsdtar"
sh "$(dirname "$0")/bsdtar.sh" "$BSDTAR"
if ! cmp -s "$BSDTAR/tar.exe" "$SYSTEM32/tar.exe"; then
    say "installing Windows' tar (bsdtar) in system32"
    cp "$BSDTAR/tar.exe" "$SYSTEM32/tar.exe"
fi

say "build folder:  $BUILD_DIR"
say "certificates:  $CERTS (ca.pem ca.der server.pem server.key untrusted.pem untrusted.key)"
say "Wine prefix:   $PREFIX"
say "system32:      $SYSTEM32"
