#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  cmake ninja-build make g++ libgtest-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64
  gcab libgcab-dev cabextract osslsigncode 7zip icoutils
  e2fsprogs python3
  softhsm2 opensc libengine-pkcs11-openssl bsdutils
  pkg-config zlib1g-dev openssl time
  clang libclang-rt-14-dev
  help2man groff-base man-db dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages; as root run:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
