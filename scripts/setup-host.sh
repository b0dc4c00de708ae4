#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine: the MinGW-w64
# cross compilers, Wine (64-bit and 32-bit), zlib for MinGW, GoogleTest sources,
# Xvfb. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(cmake ninja-build mingw-w64 binutils-mingw-w64 g++-mingw-w64 libz-mingw-w64-dev
          googletest wine wine64 wine32:i386 xvfb xauth imagemagick clang-format)
# The self-extractor: minizip's source package (bzip2), its benchmark (bc).
packages+=(bzip2 bc)
# The package: its archive listed and checked (unzip, zipinfo).
packages+=(unzip)
# The self-extractor's 23 languages on the test display: Wine's own fonts
# (Tahoma), Greek and Hebrew (Liberation Sans), Japanese (IPA Gothic and the
# banner's Mincho), Thai (Loma), the rest (DejaVu). scripts/wine-env.sh links
# them to Tahoma.
packages+=(fonts-wine fonts-liberation2 fonts-ipafont-gothic fonts-ipafont-mincho fonts-tlwg-loma-ttf
           fonts-dejavu-core)
# The test display's dialog face is made from two of them by
# scripts/make-dialog-font.py (Debian's python3 with fontforge).
packages+=(python3-fontforge)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup-host: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup-host: installed ${missing[*]}"
