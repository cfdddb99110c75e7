#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need (idempotent).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config ccache
  libraw-dev libraw-bin libgtest-dev libgmock-dev
  libexiv2-dev exiv2 libopenexr-dev openexr
  qt6-base-dev qt6-base-dev-tools libgl-dev
  xvfb xauth fonts-liberation openbox
  openimageio-tools dcraw imagemagick time
  clang libclang-rt-14-dev
  help2man desktop-file-utils appstream dpkg-dev fakeroot lintian debootstrap
  python3 python3-numpy python3-pyopencolorio
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
