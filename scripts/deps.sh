#!/usr/bin/env bash
# Installs the Debian packages that building and testing the setup need, when
# any is missing. Safe to run again; needs root (or sudo).
set -euo pipefail

# Wine only recommends the libraries for TLS (gnutls, behind WinHTTP's HTTPS)
# and for a full X11 driver; they are named here so they are never missing.
# The release tool (tools/) builds natively against libarchive, libcrypto and
# libcurl and zlib, and signs through osslsigncode.
packages=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  googletest
  wine wine64 fonts-wine
  libgnutls30 libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1
  python3 python3-pytest python3-pefile openssl
  clang libclang-rt-14-dev
  xvfb xauth imagemagick x11-utils
  curl libarchive-tools dpkg-dev
  g++ pkg-config libarchive-dev libssl-dev libcurl4-openssl-dev zlib1g-dev osslsigncode
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
# Another apt or dpkg on the machine holds its lock for a while: wait for it.
apt_get=("${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600)

# The test prefix's tar.exe is built from Debian's libarchive source package
# (tests/harness/bsdtar.sh): the machine's own Debian sources are also read as
# deb-src. Written once; nothing else in apt's configuration changes.
ensure_deb_src() {
  if apt-cache showsrc libarchive 2>/dev/null | grep -q '^Version:'; then
    return
  fi
  local src=/etc/apt/sources.list.d/stonewake-deb-src.sources
  echo "Adding deb-src entries for the machine's Debian sources: $src"
  {
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && [ "$f" != "$src" ] || continue
      grep -qi '^URIs:.*debian' "$f" || continue
      sed 's/^Types:.*/Types: deb-src/' "$f"
      echo
    done
    if [ -f /etc/apt/sources.list ]; then
      sed -n 's/^deb \(.*debian.*\)/\1/p' /etc/apt/sources.list | while read -r line; do
        # one-line entries: "[options] URI suite components..."
        set -- $line
        case "$1" in
          \[*) while [ $# -gt 0 ]; do t=$1; shift; case "$t" in *\]) break ;; esac; done ;;
        esac
        uri=$1; suite=$2; shift 2
        printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n' "$uri" "$suite" "$*"
      done
    fi
  } | "${sudo_cmd[@]}" tee "$src" >/dev/null
  "${apt_get[@]}" update -qq
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  ensure_deb_src
  exit 0
fi
echo "Installing: ${missing[*]}"
"${apt_get[@]}" update -qq
"${apt_get[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
ensure_deb_src
