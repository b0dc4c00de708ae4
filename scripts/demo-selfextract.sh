#!/usr/bin/env bash
# demo-selfextract.sh
# Builds the sample package out/NorvaleSample.exe with the package builder
# (sfxpack.exe from out/bin, the x86 selfextract.exe from out/bin as its
# program, the settings in selfextract/sample/package.ini) from the other
# deliverables in out/bin, then runs it silently under Wine into a fresh
# folder and shows what it extracted, comparing every file with its source.
# A machine whose kernel cannot run 32-bit programs (no working 32-bit
# Wine) runs an x64 build of the same package instead, and says so. The exit status is
# non-zero, with the reason, when a step fails. Run by ./build.sh at its end.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

out="$NRV_ROOT/out"
bin="$out/bin"
package="$out/NorvaleSample.exe"
staging="$NRV_BUILD/sample-package"
extracted="$NRV_BUILD/sample-extracted"

fail() {
  printf '\ndemo-selfextract: FAILED: %s\n' "$*" >&2
  exit 1
}
say() { printf '%s\n' "$*"; }
# The Windows form of a Linux path (Wine's drive Z: is the root).
win() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }

[ -f "$bin/sfxpack.exe" ] && [ -f "$bin/selfextract.exe" ] || fail "out/bin has no sfxpack.exe or selfextract.exe; run ./build.sh"

printf '\n== Sample package\n'
rm -rf "$staging" "$extracted"
mkdir -p "$staging/programs"
for f in "$bin"/*; do
  case "$(basename "$f")" in selfextract.exe | sfxpack.exe) continue ;; esac
  cp "$f" "$staging/programs/"
done
cp "$NRV_ROOT/selfextract/sample/README.txt" "$staging/"

nrv_ensure_prefix
trap 'nrv_stop_wineserver; nrv_stop_display' EXIT
unset DISPLAY
nrv_start_display
export DISPLAY="$NRV_GUI_DISPLAY"
# The prefix's server and desktop, started with the display (only the
# 64-bit side: the 32-bit one is started below when this machine has it).
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w </dev/null >/dev/null 2>&1 || true
wineserver -p </dev/null >/dev/null 2>&1
"$NRV_WINE64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true

build_package() { # STUB OUTPUT
  timeout -k 5 120 "$NRV_WINE64" "$bin/sfxpack.exe" --settings "$(win "$NRV_ROOT/selfextract/sample/package.ini")" \
    --stub "$(win "$1")" --folder "$(win "$staging")" --out "$(win "$2")" </dev/null | tr -d '\r'
}
build_package "$bin/selfextract.exe" "$package" || fail "sfxpack could not build $package"
say "Built $package ($(stat -c %s "$package") bytes)."

run_package="$package"
loader="$NRV_WINE32"
if ! nrv_x86_runs; then
  say "This machine cannot run 32-bit programs: running an x64 build of the same package instead."
  [ -f "$NRV_BUILD/x64/bin/selfextract.exe" ] || fail "no x64 selfextract.exe in build/x64"
  run_package="$NRV_BUILD/sample-x64.exe"
  build_package "$NRV_BUILD/x64/bin/selfextract.exe" "$run_package" >/dev/null || fail "could not build the x64 package"
  loader="$NRV_WINE64"
fi

printf '\n== Silent run: %s /S /D%s\n' "$(basename "$run_package")" "$(win "$extracted")"
rc=0
timeout -k 5 120 "$loader" "$run_package" /S "/D$(win "$extracted")" </dev/null >/dev/null 2>&1 || rc=$?
# Without a setup command a run that succeeded ends with 0x210000C8 (its low byte: 200).
[ "$rc" -eq 200 ] || fail "the package ended with status $rc, not the success code 0x210000C8"
say "Extracted (exit code 0x210000C8: success, no setup command):"
(cd "$extracted" && find . -type f | sort | while read -r f; do
  printf '  %-40s %10s bytes\n' "${f#./}" "$(stat -c %s "$f")"
done)
diff -r "$staging" "$extracted" >/dev/null || fail "the extracted files differ from their sources"
say "Every extracted file matches its source."
rm -rf "$staging" "$extracted" "$NRV_BUILD/sample-x64.exe"
