#!/usr/bin/env bash
# build-package.sh [--x64] [--out PACKAGE.exe]
# Builds the NORVALE System Driver package: stages every file that
# package/package.files names at its path in the archive, then makes the
# self-extracting executable with the package builder (sfxpack.exe, under
# 64-bit Wine) and the description in package/package.ini, and prints what
# it built: name, size, architecture and every entry of its archive.
# By default the package is made as it ships: the x86 selfextract.exe and
# each program from the build of the architecture it ships in (out/bin, as
# ./build.sh gathers it, else the trees). With --x64 it is made from the x64
# tree's builds instead (the x64 selfextract.exe, the x64 builds of the x86
# programs; a file the x64 tree does not build, such as NrvBtRadio.dll, from
# the x86 tree): a package that runs on a machine whose kernel runs no 32-bit
# code. The default output is out/NrvSystemDriver-2.04.0001.00.exe, with
# --x64 build/NrvSystemDriver-x64.exe.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

fail() { echo "build-package: $*" >&2; exit 1; }

arch=ship
package=""
while [ $# -gt 0 ]; do
  case "$1" in
    --x64) arch=x64 ;;
    --out) package="$2"; shift ;;
    *) echo "usage: build-package.sh [--x64] [--out PACKAGE.exe]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$arch" = ship ]; then
  dirs=("$NRV_ROOT/out/bin" "$NRV_BUILD/x86/bin" "$NRV_BUILD/x64/bin")
  stub_dirs=("$NRV_ROOT/out/bin" "$NRV_BUILD/x86/bin")
  [ -n "$package" ] || package="$NRV_ROOT/out/NrvSystemDriver-2.04.0001.00.exe"
else
  dirs=("$NRV_BUILD/x64/bin" "$NRV_BUILD/x86/bin")
  stub_dirs=("$NRV_BUILD/x64/bin")
  [ -n "$package" ] || package="$NRV_BUILD/NrvSystemDriver-x64.exe"
fi
list="$NRV_ROOT/package/package.files"
settings="$NRV_ROOT/package/package.ini"

# find_file NAME DIR...: the first DIR that holds NAME.
find_file() {
  local name="$1" dir
  shift
  for dir in "$@"; do
    [ -f "$dir/$name" ] && { printf '%s\n' "$dir/$name"; return 0; }
  done
  return 1
}

stub=$(find_file selfextract.exe "${stub_dirs[@]}") || fail "no selfextract.exe in ${stub_dirs[*]} (build first)"
sfxpack=$(find_file sfxpack.exe "$NRV_ROOT/out/bin" "$NRV_BUILD/x64/bin") || fail "no sfxpack.exe (build first)"

staging=$(mktemp -d "$NRV_BUILD/package-staging.XXXXXX")
trap 'rm -rf "$staging"' EXIT
missing=()
while read -r entry source; do
  case "$entry" in '' | '#'*) continue ;; esac
  [ -n "$source" ] || fail "package.files: no source for $entry"
  if [[ "$source" == */* ]]; then
    file="$NRV_ROOT/$source"
    [ -f "$file" ] || { missing+=("$source"); continue; }
  else
    file=$(find_file "$source" "${dirs[@]}") || { missing+=("$source"); continue; }
  fi
  # The x64 btsetup looks for its driver folder in Drivers, not Drivers\x64.
  [ "$arch" = ship ] || entry=${entry/#Drivers\\x64\\/Drivers\\}
  target="$staging/${entry//\\//}"
  mkdir -p "$(dirname "$target")"
  cp "$file" "$target"
done <"$list"
[ ${#missing[@]} -eq 0 ] || fail "not built (or not in the tree): ${missing[*]}"

mkdir -p "$(dirname "$package")"
rm -f "$package"
win() { local p; p=$(realpath -m "$1"); printf 'Z:%s' "${p//\//\\}"; }
out=$(timeout -k 5 120 "$NRV_WINE64" "$sfxpack" --settings "$(win "$settings")" --stub "$(win "$stub")" \
  --folder "$(win "$staging")" --out "$(win "$package")" </dev/null 2>&1 | tr -d '\r') ||
  fail "sfxpack failed: $out"
[ -f "$package" ] || fail "sfxpack wrote no package: $out"

# The description record as it ships: header 20 bytes, year 2017, 87 bytes
# in all, option bits 0x4C, the banner and setup-command texts (0x1100) and
# the extra file (byte 10, bit 0).
LC_ALL=C grep -qaP '\x14\x00\xe1\x07\x57\x00\x00\x00\x4c\x11\x01' "$package" ||
  fail "the package's description record is not the shipped one (20 bytes of header, 87 in all, options 0x4C, texts 0x1100, extra file)"
entries=$(unzip -Z1 "$package" 2>/dev/null | grep -vc '/$' || true)
echo
echo "Package: $package"
if [ "$arch" = ship ]; then
  echo "  made as it ships: the x86 selfextract.exe, each program built for the architecture it ships in"
else
  echo "  made from the x64 tree's builds (for a machine that runs no 32-bit code; NOT the shipped form)"
fi
echo "  $(stat -c %s "$package") bytes, $entries files; description from package/package.ini:"
sed -n 's/^\(banner\|command\|extra\|options\)=/    \1 = /p' "$settings"
echo "  (description record checked: 87 bytes, option bits 0x4C, banner, setup command, extra file)"
echo "  Entries (path in the archive, bytes, stored as):"
{ unzip -Zl "$package" 2>/dev/null || true; } | awk '$1 ~ /^-/ {printf "    %-28s %10s  %s\n", $NF, $4, $7}'
