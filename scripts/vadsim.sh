#!/usr/bin/env bash
# vadsim.sh install [SYS [VADCTL]] | remove [VADCTL]
# Loads the simulated value-added device into the project's Wine prefix:
# "install" copies the driver SYS (default: the x64 tree's nrvvadsim.sys) into
# C:\windows\system32\drivers, creates the kernel service "nrvvadsim" with the
# 64-bit sc (created through the 32-bit sc the service is marked WOW64 and the
# driver does not load) and starts it. "remove" stops and deletes the service
# and the copy. Both end with the service in the state they name, or fail.
# The posture indicators' device interfaces are user-mode registrations:
# "install" registers them with VADCTL (default: the x64 tree's vadctl.exe)
# after the driver runs; "remove" unregisters them and deletes the keyboard
# list the tests set, then checks that enumeration finds neither interface.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
service=nrvvadsim
target="$WINEPREFIX/drive_c/windows/system32/drivers/$service.sys"
binpath="C:\\windows\\system32\\drivers\\$service.sys"

# The 64-bit sc, its output through a file: a Wine background process it
# starts would hold a pipe open and its reader waiting.
sc() {
  local out rc=0
  out=$(mktemp)
  "$NRV_WINE64" sc "$@" </dev/null >"$out" 2>&1 || rc=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $rc
}

# RUNNING, STOPPED, ...; empty when there is no such service.
state() {
  { sc query "$service" || true; } | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

wait_state() {
  for _ in $(seq 100); do
    [ "$(state)" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

fail() { echo "vadsim: $*" >&2; exit 1; }

vadctl_exe="$NRV_BUILD/x64/bin/vadctl.exe"

# vadctl in the prefix, under the Wine of its architecture.
vadctl() {
  local wine="$NRV_WINE64" out rc=0
  [ -f "$vadctl_exe" ] || fail "no vadctl at $vadctl_exe"
  # The PE header's machine field: 8664 for x64, 014c for x86.
  local pe
  pe=$(od -An -tu4 -j60 -N4 "$vadctl_exe" | tr -d ' ')
  [ "$(od -An -tx2 -j$((pe + 4)) -N2 "$vadctl_exe" | tr -d ' ')" = 8664 ] || wine="$NRV_WINE32"
  out=$(mktemp)
  "$wine" "$vadctl_exe" "$@" </dev/null >"$out" 2>&1 || rc=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $rc
}

unregister() {
  vadctl indicators-uninstall >/dev/null || fail "cannot unregister the indicators"
  vadctl keyboards remove >/dev/null || fail "cannot delete the keyboard list"
  local indicator
  for indicator in slate dock; do
    if vadctl indicator-path "$indicator" >/dev/null; then
      fail "the $indicator indicator is still enumerated"
    fi
  done
}

remove() {
  local now
  now=$(state)
  if [ -n "$now" ]; then
    if [ "$now" != STOPPED ]; then
      sc stop "$service" >/dev/null || true
      wait_state STOPPED || fail "service $service does not stop (state: $(state))"
    fi
    sc delete "$service" >/dev/null || fail "cannot delete service $service"
  fi
  rm -f "$target"
  [ -z "$(state)" ] || fail "service $service is still there"
  unregister
}

install() {
  local sys="${1:-$NRV_BUILD/x64/bin/nrvvadsim.sys}" output
  [ -f "$sys" ] || fail "no driver at $sys (the x64 tree builds it)"
  nrv_ensure_prefix
  remove  # what an interrupted run left
  cp "$sys" "$target"
  output=$(sc create "$service" type= kernel start= demand binPath= "$binpath") ||
    fail "sc create failed: $output"
  output=$(sc start "$service") || fail "sc start failed: $output"
  wait_state RUNNING || fail "service $service does not run (state: $(state))"
  vadctl indicators-install >/dev/null || fail "cannot register the indicators"
  local indicator
  for indicator in slate dock; do
    vadctl indicator-path "$indicator" >/dev/null || fail "the $indicator indicator is not enumerated"
  done
}

case "${1:-}" in
  install)
    [ -z "${3:-}" ] || vadctl_exe="$3"
    install "${2:-}"
    echo "vadsim: service $service running, indicators registered" ;;
  remove)
    [ -z "${2:-}" ] || vadctl_exe="$2"
    remove
    echo "vadsim: service $service removed, indicators unregistered" ;;
  *) echo "usage: vadsim.sh install [SYS [VADCTL]] | remove [VADCTL]" >&2; exit 2 ;;
esac
