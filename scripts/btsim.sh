#!/usr/bin/env bash
# btsim.sh install [BINDIR] | install-bus [BINDIR] | remove [BINDIR]
# Loads the simulated ACPI firmware device of the Bluetooth radio switch into
# the project's Wine prefix, and through Wine's Plug and Play manager the real
# radio switch driver above it. BINDIR (default: the x64 tree's bin folder)
# holds nrvacpisim.sys, wmilib.sys, nrvrfsw.sys, nrvrfsw.inf and btsimctl.exe.
# "install" puts the WMI library substitute into C:\windows\system32\drivers
# (Wine has none), the driver package into C:\windows\inf (where Wine looks for
# an INF matching the device's hardware id and copies the .sys from), creates
# and starts the bus driver as the kernel service "nrvacpisim" with the 64-bit
# sc, and waits until the driver's device interface is present. "remove" stops
# the bus (which removes the device), deletes both services, the files, the
# device's and the driver's registry entries and the values the tests set, and
# checks that the interface is gone. Both end in the state they name, or fail.
# "install-bus" loads the bus and its device only, without the driver package:
# the device waits for a driver until one is installed (as the package's
# setup program does), and "remove" takes both away again.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
bus=nrvacpisim
driver=nrvrfsw
bindir="$NRV_BUILD/x64/bin"
system="$WINEPREFIX/drive_c/windows/system32"
inf="$WINEPREFIX/drive_c/windows/inf"
class_guid='{4D36E97D-E325-11CE-BFC1-08002BE10318}'
interface_guid='{5291cda8-acc2-4fcf-b566-8187e74c9d97}'

fail() { echo "btsim: $*" >&2; exit 1; }

# A 64-bit program of the prefix, its output through a file: a Wine
# background process it starts would hold a pipe open and its reader waiting.
run64() {
  local out rc=0
  out=$(mktemp)
  "$NRV_WINE64" "$@" </dev/null >"$out" 2>&1 || rc=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $rc
}
sc() { run64 sc "$@"; }
btsimctl() { run64 "$bindir/btsimctl.exe" "$@"; }

state() {
  { sc query "$1" || true; } | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

wait_state() {
  for _ in $(seq 200); do
    [ "$(state "$1")" = "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

stop_and_delete() {
  local now
  now=$(state "$1")
  [ -n "$now" ] || return 0
  if [ "$now" != STOPPED ]; then
    sc stop "$1" >/dev/null || true
    wait_state "$1" STOPPED || fail "service $1 does not stop (state: $(state "$1"))"
  fi
  sc delete "$1" >/dev/null || fail "cannot delete service $1"
  [ -z "$(state "$1")" ] || fail "service $1 is still there"
}

reg_delete() { run64 reg delete "$1" /f >/dev/null 2>&1 || true; }

# The class key Wine made for the device: the subkey whose InfPath is ours.
delete_class_keys() {
  local key
  for key in $(run64 reg query "HKLM\\System\\CurrentControlSet\\Control\\Class\\$class_guid" 2>/dev/null |
               grep -i "^HKEY.*\\\\[0-9]\{4\}$" || true); do
    if run64 reg query "$key" /v InfPath 2>/dev/null | grep -qi "$driver.inf"; then
      reg_delete "$key"
    fi
  done
}

remove() {
  if [ -f "$bindir/btsimctl.exe" ] && [ -n "$(state $bus)" ]; then
    btsimctl reg clean >/dev/null || true
  fi
  stop_and_delete "$bus"
  stop_and_delete "$driver"
  rm -f "$system/drivers/$bus.sys" "$system/drivers/$driver.sys" "$system/drivers/wmilib.sys" \
        "$system/drivers/$driver.sys.removed" \
        "$inf/$driver.inf" "$inf/$driver.sys" "$inf/$driver.pnf"
  reg_delete 'HKLM\System\CurrentControlSet\Enum\ACPI\NRV0B01'
  # The ACPI enumerator's key, when the device was all it held.
  if ! run64 reg query 'HKLM\System\CurrentControlSet\Enum\ACPI' 2>/dev/null | grep -qi '\\ACPI\\'; then
    reg_delete 'HKLM\System\CurrentControlSet\Enum\ACPI'
  fi
  reg_delete "HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\$interface_guid"
  delete_class_keys
  reg_delete "HKLM\\System\\CurrentControlSet\\Services\\$driver"
  if [ -f "$bindir/btsimctl.exe" ]; then
    btsimctl reg clean >/dev/null || fail "cannot remove the registry values the tests set"
    if btsimctl interface >/dev/null 2>&1; then fail "the radio switch interface is still present"; fi
  fi
}

install() {
  local file driver_package="${1:-yes}"
  for file in $bus.sys wmilib.sys $driver.sys $driver.inf btsimctl.exe; do
    [ -f "$bindir/$file" ] || fail "no $file in $bindir (the x64 tree builds it)"
  done
  nrv_ensure_prefix
  remove  # what an interrupted run left
  cp "$bindir/wmilib.sys" "$bindir/$bus.sys" "$system/drivers/"
  [ "$driver_package" = no ] || cp "$bindir/$driver.inf" "$bindir/$driver.sys" "$inf/"
  local output
  output=$(sc create "$bus" type= kernel start= demand binPath= "C:\\windows\\system32\\drivers\\$bus.sys") ||
    fail "sc create failed: $output"
  output=$(sc start "$bus") || fail "sc start failed: $output"
  wait_state "$bus" RUNNING || fail "service $bus does not run (state: $(state $bus))"
  [ "$driver_package" = no ] && return 0
  output=$(btsimctl wait-interface present 30000) ||
    fail "the radio switch driver did not come up above the simulated device: $output"
}

case "${1:-}" in
  install)
    [ -z "${2:-}" ] || bindir="$2"
    install
    echo "btsim: bus $bus running, $driver loaded above ACPI\\NRV0B01, interface present" ;;
  install-bus)
    [ -z "${2:-}" ] || bindir="$2"
    install no
    echo "btsim: bus $bus running, ACPI\\NRV0B01 without a driver" ;;
  remove)
    [ -z "${2:-}" ] || bindir="$2"
    remove
    echo "btsim: $bus and $driver removed" ;;
  *) echo "usage: btsim.sh install [BINDIR] | install-bus [BINDIR] | remove [BINDIR]" >&2; exit 2 ;;
esac
