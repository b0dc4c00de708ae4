# Sourced after demo-lib.sh by the package's demonstration
# (demo-package.sh) and its end-to-end tests (package/tests): which package
# to run and how, where the setup program installs, the control tools of the
# simulated notebook, and the checks of an installation and of its removal
# (each sets pkg_error and returns 1 when what it checks is not so).

# What the package installs, and where ("%ProgramFiles(x86)%" of the prefix).
install_win='C:\Program Files (x86)\NORVALE\NORVALE System Driver'
install_dir="$WINEPREFIX/drive_c/Program Files (x86)/NORVALE/NORVALE System Driver"
keyhub_key='HKLM\SYSTEM\CurrentControlSet\Services\keyhub'
keyhub_params="$keyhub_key\\Parameters"
posture_key='HKLM\SOFTWARE\NORVALE\NORVALE System Driver\NORVALE Posture Service'
radio_support_key='HKLM\SYSTEM\CurrentControlSet\Services\BTHPORT\Parameters\Radio Support'
pkg_services=(POSTURESVC NRVRadioSvc)

# The simulated notebook's control tools are x64 builds, except radioctl,
# whose architecture is that of the radio service it scripts.
pkg_x64_bin="$NRV_BUILD/x64/bin"
pkg_bin="$pkg_x64_bin"
pkg_loader="$NRV_WINE64"
vadctl() { win64 "$pkg_x64_bin/vadctl.exe" "$@"; }
btsimctl() { win64 "$pkg_x64_bin/btsimctl.exe" "$@"; }
btstack() { win64 "$pkg_x64_bin/btstack.exe" "$@"; }
radioctl() { run "$pkg_loader" "$pkg_bin/radioctl.exe" "$@"; }

reg_value() { # KEY NAME: the value's data, empty when there is none
  win64 reg query "$1" /v "$2" 2>/dev/null | sed -n "s/^ *$2 *REG_[A-Z_]* *//p" | head -1
}
ledstate() { reg_value "$keyhub_params" LEDSTATE | sed 's/^0x//'; }
supportdll() { reg_value "$radio_support_key" SupportDLL; }
supportdll_names_installed() {
  local dll
  dll=$(supportdll)
  dll=${dll/\%ProgramFiles(x86)\%/C:\\Program Files (x86)}
  [ "${dll,,}" = "${install_win,,}\\nrvbtradio64.dll" ]
}

# vad_waiting_for CODE: a service waits for the firmware event CODE.
vad_waiting_for() { vadctl pending 2>/dev/null | grep -Eiq "^code 0x0*${1#0x} [1-9]"; }
# The module is powered and attached (status byte 0xC1).
bt_attached() { btsimctl state | grep -q '^status 0xC1'; }

# pkg_choose_package [x64]: sets pkg_exe (the package to run), pkg_loader,
# pkg_bin (the tree whose radioctl and radio managers match the radio
# service in the package) and pkg_choice (a sentence that says which). The
# package as it ships when this machine runs 32-bit programs (built by
# scripts/build-package.sh) unless x64 is asked for; else one made the same
# way from the x64 tree's builds, made now.
pkg_choose_package() {
  if [ "${1:-}" != x64 ] && nrv_x86_runs; then
    pkg_exe="$NRV_ROOT/out/NrvSystemDriver-2.04.0001.00.exe"
    pkg_loader="$NRV_WINE32"
    pkg_bin="$NRV_BUILD/x86/bin"
    [ -f "$pkg_exe" ] || { pkg_error="no package $pkg_exe (scripts/build-package.sh makes it)"; return 1; }
    pkg_choice="The package as it ships: $pkg_exe (x86 selfextract.exe, each program built for the architecture it ships in)."
    return 0
  fi
  pkg_exe="$NRV_BUILD/NrvSystemDriver-x64.exe"
  pkg_loader="$NRV_WINE64"
  pkg_bin="$pkg_x64_bin"
  local out
  out=$("$NRV_ROOT/scripts/build-package.sh" --x64 --out "$pkg_exe" 2>&1) ||
    { pkg_error="cannot make the x64 package: $out"; return 1; }
  if nrv_x86_runs; then
    pkg_choice="The package made from the x64 tree's builds: $pkg_exe."
  else
    pkg_choice="This machine runs no 32-bit programs: the package is made the same way from the x64 tree's builds (x64 selfextract.exe, the x64 builds of the x86 programs): $pkg_exe."
  fi
}

# pkg_exec PROGRAM ARGS...: runs the Windows program PROGRAM (a Windows
# path) with ARGS and waits for it (10 minutes at most); sets pkg_code to its
# exit code (Wine's loader passes on only the low byte, so the code is read
# through cmd) and returns 0 when it is 0. An argument with a blank is quoted. The output goes to
# pkg_run_output.
pkg_exec() {
  local script="$WINEPREFIX/drive_c/nrv-package-run.cmd" arg line
  line="@\"$1\""
  shift
  for arg in "$@"; do
    if [[ "$arg" == *" "* ]]; then line+=" \"$arg\""; else line+=" $arg"; fi
  done
  printf '%s\r\n@echo exit=%%ERRORLEVEL%%\r\n' "$line" >"$script"
  pkg_run_output=$(DISPLAY="${NRV_GUI_DISPLAY:-${DISPLAY:-}}" run -t 600 "$NRV_WINE64" cmd /c 'C:\nrv-package-run.cmd') || true
  rm -f "$script"
  pkg_code=$(printf '%s\n' "$pkg_run_output" | sed -n 's/^exit=\(-\{0,1\}[0-9]*\)$/\1/p' | tail -1)
  [ "$pkg_code" = 0 ]
}
# pkg_run ARGS...: the package, as pkg_exec. The package is a GUI program:
# even silent it makes its dialog, unseen. While the simulated devices keep
# Wine's desktop busy, a new program can find no graphics driver and the
# dialog is not made (-171, 0x2100010F): so the desktop is waited for first,
# and a run that ends with -171 is waited for and made once more, saying so.
pkg_run() {
  nrv_wait_for_desktop
  pkg_exec "$(winpath "$pkg_exe")" "$@" && return 0
  [ "$pkg_code" = -171 ] || return 1
  say "  (the package could not make its dialog (-171): Wine's desktop did not answer; running it again)"
  sleep 2
  nrv_wait_for_desktop
  pkg_exec "$(winpath "$pkg_exe")" "$@"
}

# pkg_check_installed: the services run, the driver is loaded above the
# device, "SupportDLL" names the installed library, the programs are in place.
pkg_check_installed() {
  local file service
  for file in POSTURESVC.exe POSTURESVC.ini RadioSvc.exe NrvPenNote.exe NrvBtRadio64.dll; do
    [ -f "$install_dir/$file" ] || { pkg_error="$file is not installed in $install_win"; return 1; }
  done
  for service in "${pkg_services[@]}"; do
    wait_for 30 service_is "$service" RUNNING ||
      { pkg_error="service $service is not running (state: '$(service_state "$service")')"; return 1; }
  done
  wait_for 30 btsimctl interface >/dev/null 2>&1 ||
    { pkg_error="the radio switch driver is not loaded above ACPI\\NRV0B01"; return 1; }
  # The installer writes the path itself; the driver, when it repairs the
  # value at its start, writes "%ProgramFiles(x86)%" unexpanded (the stack
  # expands it). Either names the installed library.
  local dll
  wait_for 10 supportdll_names_installed ||
    { pkg_error="\"SupportDLL\" is '$(supportdll)', not $install_win\\NrvBtRadio64.dll"; return 1; }
}

# pkg_uninstall LOG: removes the installation as an administrator would:
# extracts the package without running its setup program (/X) and runs the
# setup program from there in its uninstall mode, with its log at LOG; sets
# pkg_code to its exit code and returns 0 when it is 0.
pkg_uninstall() {
  local folder='C:\nrv-package-uninstall' code
  rm -rf "$WINEPREFIX/drive_c/nrv-package-uninstall"
  # Without a setup command to run, success is 0x210000C8.
  pkg_run /S /X "/D$folder" || [ "$pkg_code" = $((0x210000C8)) ] ||
    { pkg_error="the package did not extract (exit code '$pkg_code')"; return 1; }
  pkg_exec "$folder\\pkgsetupwb.exe" -uninstall -s -a -log "\"$1\"" || true
  code=$pkg_code
  rm -rf "$WINEPREFIX/drive_c/nrv-package-uninstall"
  pkg_code=$code
  [ "$pkg_code" = 0 ]
}

# pkg_check_uninstalled CODE: nothing of the installation is left but what stays
# by design; sets pkg_gone and pkg_stays to say which is which.
# CODE is the uninstall's exit code: with 3010 (restart needed) the driver's
# service may still be there, marked for deletion at the restart: Wine, like
# Windows, keeps a driver loaded while it still runs.
pkg_check_uninstalled() {
  local service dll driver_note=""
  for service in "${pkg_services[@]}"; do
    wait_for 30 service_is "$service" "" || { pkg_error="service $service is still there"; return 1; }
  done
  if ! wait_for 10 service_is nrvrfsw ""; then
    [ "$1" = 3010 ] || { pkg_error="service nrvrfsw is still there, and the uninstall asked for no restart"; return 1; }
    driver_note=" (its service, still loaded, is marked for deletion at the restart the exit code 3010 asks for)"
  fi
  [ ! -e "$WINEPREFIX/drive_c/windows/system32/drivers/nrvrfsw.sys" ] ||
    { pkg_error="nrvrfsw.sys is still in system32\\drivers"; return 1; }
  [ ! -e "$install_dir" ] || { pkg_error="$install_win is still there: $(ls "$install_dir" | tr '\n' ' ')"; return 1; }
  dll=$(supportdll)
  [ -z "$dll" ] || { pkg_error="\"SupportDLL\" still names '$dll'"; return 1; }
  win64 reg query "$radio_support_key" /v SupportDLL >/dev/null 2>&1 ||
    { pkg_error="the Bluetooth stack's \"SupportDLL\" value was deleted; it is not the package's"; return 1; }
  pkg_gone="the services POSTURESVC and NRVRadioSvc; the pen launcher's process; the driver"
  pkg_gone+=" nrvrfsw.sys$driver_note; the folder $install_win; \"SupportDLL\" is empty again"
  pkg_stays="the value \"SupportDLL\" itself (the Bluetooth stack's); \"LEDSTATE\" = $(ledstate)"
  pkg_stays+=" (the hotkey driver's key)"
  local temp
  for temp in "$WINEPREFIX"/drive_c/users/*/Temp/NrvSystemDriver*.temp \
    "$WINEPREFIX"/drive_c/users/*/AppData/Local/Temp/NrvSystemDriver*.temp; do
    [ -d "$temp" ] && temp=${temp#"$WINEPREFIX/drive_c/"} && pkg_stays+="; the extraction folder C:\\${temp//\//\\} (the package's options do not delete it)"
  done
  if win64 reg query "$posture_key" >/dev/null 2>&1; then
    pkg_stays+="; the posture service's install decisions under $posture_key"
  fi
  if win64 reg query 'HKLM\SYSTEM\CurrentControlSet\Services\nrvrfsw\Parameters' >/dev/null 2>&1; then
    pkg_stays+="; the radio switch driver's settings under ...\\Services\\nrvrfsw\\Parameters"
  fi
}

# pkg_remove_everything: takes away whatever an installation (or an
# interrupted run) left: services, running programs, files, keys.
pkg_remove_everything() {
  local service
  for service in "${pkg_services[@]}"; do
    [ -n "$(service_state "$service")" ] || continue
    sc stop "$service" >/dev/null 2>&1 || true
    wait_for 30 service_is "$service" STOPPED || true
    sc delete "$service" >/dev/null 2>&1 || true
    wait_for 10 service_is "$service" "" || true
  done
  win64 taskkill /F /IM NrvPenNote.exe >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX/drive_c/Program Files (x86)/NORVALE" "$WINEPREFIX/drive_c/Program Files/NORVALE"
  win64 reg delete "$posture_key" /f >/dev/null 2>&1 || true
  win64 reg delete 'HKLM\SOFTWARE\NORVALE' /f >/dev/null 2>&1 || true
  win64 reg delete "$keyhub_key" /f >/dev/null 2>&1 || true
  win64 reg delete 'HKLM\SYSTEM\CurrentControlSet\Services\BTHPORT' /f >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/Temp/NrvSystemDriver*.temp \
    "$WINEPREFIX"/drive_c/users/*/Temp/NrvSystemDriver*.temp
}

# The fixtures' state as a package test found it: nothing of the package
# installed, the radio managers reset and the radio switch device loaded
# again with the driver the fixture installs. Non-zero when the device does
# not come back.
pkg_restore_fixtures() {
  local rc=0
  pkg_remove_everything
  radioctl reset >/dev/null
  "$NRV_ROOT/scripts/btsim.sh" remove >/dev/null || rc=1
  "$NRV_ROOT/scripts/btsim.sh" install >/dev/null || rc=1
  return $rc
}
