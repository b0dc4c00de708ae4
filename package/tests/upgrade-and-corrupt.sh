#!/usr/bin/env bash
# The package installed twice, the second time over the first (an upgrade
# over itself), then removed; and a package with one corrupted entry, which
# must end with the extractor's failure code without starting the setup
# program or installing anything, leaving the files extracted before the bad
# entry in place and none of the bad or later ones. Runs in ctest (x64 tree)
# under the fixtures "vadsim", "radiosim" and "btsim", with the Wine server
# of the test run; leaves nothing behind. Status 1, with the reason, when a
# check fails.
set -euo pipefail
demo_name=package_upgrade_corrupt
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/demo-lib.sh"
source "$NRV_ROOT/scripts/package-env.sh"

work_win='C:\nrv-package-test'
work_dir="$WINEPREFIX/drive_c/nrv-package-test"
corrupt_exe="$NRV_BUILD/NrvSystemDriver-corrupt.exe"

display_started=0
cleanup() {
  local rc=$?
  set +e
  trap - EXIT
  pkg_restore_fixtures || rc=1
  [ "$display_started" -eq 0 ] || nrv_stop_display
  rm -rf "$work_dir" "$corrupt_exe"
  exit $rc
}

step "1. The simulated notebook, the radio switch device without its driver"
pkg_choose_package x64 || fail "$pkg_error"
trap cleanup EXIT
if [ -z "${NRV_GUI_DISPLAY:-}" ]; then
  unset DISPLAY
  nrv_start_display
  display_started=1
fi
pkg_remove_everything
out=$(vadctl reset) || fail "vadctl reset failed: $out"
out=$(radioctl reset) || fail "radioctl reset failed: $out"
"$NRV_ROOT/scripts/btsim.sh" remove >/dev/null || fail "cannot clear the radio switch device"
"$NRV_ROOT/scripts/btsim.sh" install-bus >/dev/null || fail "the radio switch device does not load"
win64 reg add "$keyhub_params" /f >/dev/null || fail "cannot create $keyhub_params"
btsimctl reg supportdll "" >/dev/null || fail "cannot create the Radio Support key"
rm -rf "$work_dir"
mkdir -p "$work_dir"

step "2. A test-only run"
# The extractor takes only the test-only list (pkgsetupwb.exe.ini,
# pkgsetup.exe, the extra file, DEDUZ45O.DLL, pkgsetupwb.exe): a name the
# package lacks ends it with -117; the setup program checks them, installs
# nothing and ends with 0. /S: without it the setup program ends with a
# message box.
pkg_run /S /TESTONLY "/D$work_win\\testonly" || true
[ "$pkg_code" = 0 ] || fail "the test-only run ended with '$pkg_code', not 0"
[ ! -e "$work_dir/testonly" ] || fail "the test-only run left its folder: $(ls "$work_dir/testonly" | tr '\n' ' ')"
[ ! -e "$install_dir" ] && [ -z "$(service_state POSTURESVC)" ] || fail "the test-only run installed something"
say "test-only run: exit code 0, nothing installed, its folder deleted"

step "3. Install"
pkg_run /S "/LOG$work_win\\first.log" || true
[ "$pkg_code" = 0 ] || [ "$pkg_code" = 3010 ] || fail "the first install ended with '$pkg_code': $pkg_run_output"
pkg_check_installed || fail "after the first install: $pkg_error"
say "installed, exit code $pkg_code"

step "4. Install again, over the installation"
pkg_run /S "/LOG$work_win\\second.log" || true
[ "$pkg_code" = 0 ] || [ "$pkg_code" = 3010 ] || fail "the second install ended with '$pkg_code'; its log: $(tr -d '\r' <"$work_dir/second.log" 2>/dev/null)"
pkg_check_installed || fail "after the second install: $pkg_error"
[ -f "$work_dir/second.log" ] || fail "the second install wrote no log"
say "installed again over itself, exit code $pkg_code"

step "5. Uninstall"
pkg_uninstall "$work_win\\uninstall.log" || true
[ "$pkg_code" = 0 ] || [ "$pkg_code" = 3010 ] || fail "the uninstall ended with '$pkg_code'"
pkg_check_uninstalled "$pkg_code" || fail "after the uninstall: $pkg_error"
say "uninstalled"

step "6. A package with a corrupted entry"
cp "$pkg_exe" "$corrupt_exe"
# unzip warns (status 1) about the program in front of the archive.
entries=$({ unzip -Z1 "$corrupt_exe" 2>/dev/null || true; } | tr -d '\r')
bad=RadioSvc.exe
printf '%s\n' "$entries" | grep -qx "$bad" || fail "the package has no entry $bad"
# The entry's local header, its data behind the name and the extra field;
# one byte well inside the compressed data is flipped.
header=$({ LC_ALL=C grep -obUaP "PK\x03\x04[\s\S]{26}${bad//./\\.}" "$corrupt_exe" || true; } | head -1 | cut -d: -f1)
[ -n "$header" ] || fail "no local header of $bad found"
u16() { od -An -tu2 -j "$1" -N2 "$corrupt_exe" | tr -d ' '; }
data=$((header + 30 + $(u16 $((header + 26))) + $(u16 $((header + 28)))))
at=$((data + 1000))
byte=$(od -An -tu1 -j "$at" -N1 "$corrupt_exe" | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 0xFF)))" | dd of="$corrupt_exe" bs=1 seek="$at" conv=notrunc status=none
say "flipped the byte at offset $at, inside the compressed data of $bad"
saved_exe=$pkg_exe
pkg_exe=$corrupt_exe
pkg_run /S "/D$work_win\\extracted" "/LOG$work_win\\corrupt.log" || true
pkg_exe=$saved_exe
# -124: CRC-32 mismatch (the data inflated); -122: the data does not inflate.
case "$pkg_code" in
  -124) say "exit code -124: the entry failed its CRC-32 check" ;;
  -122) say "exit code -122: the entry's data could not be inflated" ;;
  *) fail "the corrupted package ended with '$pkg_code', not -124 or -122" ;;
esac
[ ! -e "$work_dir/corrupt.log" ] || fail "the setup program was started: it wrote $work_win\\corrupt.log"
for service in "${pkg_services[@]}"; do
  [ -z "$(service_state "$service")" ] || fail "service $service was installed"
done
[ ! -e "$install_dir" ] || fail "$install_win was created"
[ -z "$(supportdll)" ] || fail "\"SupportDLL\" was set to '$(supportdll)'"
before=1
kept=0
while read -r entry; do
  [ -n "$entry" ] || continue
  case "$entry" in */) continue ;; esac
  file="$work_dir/extracted/$entry"
  if [ "$entry" = "$bad" ]; then
    before=0
    [ ! -e "$file" ] || fail "the bad entry's partial output $entry was left"
  elif [ "$before" -eq 1 ]; then
    [ -f "$file" ] || fail "$entry, extracted before the bad entry, is gone"
    kept=$((kept + 1))
  else
    [ ! -e "$file" ] || fail "$entry, behind the bad entry, was extracted"
  fi
done <<<"$entries"
[ "$kept" -gt 0 ] || fail "no entry lies before $bad: the check proves nothing"
say "the $kept files before $bad stay in the extraction folder; $bad and the files behind it are absent"

demo_finish
