#!/usr/bin/env bash
# Installs the Debian packages that building and testing the setup need, when
# any is missing. Safe to run again; needs root (or sudo).
set -euo pipefail

# Wine only recommends the libraries for TLS (gnutls, behind WinHTTP's HTTPS)
# and for a full X11 driver; they are named here so they are never missing.
# The release tool (tools/) builds natively against libarchive, libcrypto and
# libcurl, and signs through osslsigncode.
packages=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  googletest
  wine wine64 fonts-wine
  libgnutls30 libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1
  python3 python3-pytest openssl
  clang libclang-rt-14-dev
  xvfb xauth imagemagick x11-utils
  curl libarchive-tools
  g++ pkg-config libarchive-dev libssl-dev libcurl4-openssl-dev osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
# Another install may hold the package lock for a while: wait for it.
"${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
"${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
