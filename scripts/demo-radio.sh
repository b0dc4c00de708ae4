#!/usr/bin/env bash
# demo-radio.sh
# Shows the radio-management service at work on the simulated notebook, in
# the project's Wine prefix: loads the simulated value-added device and the
# simulated radio managers (WLAN, WWAN, Bluetooth), installs RadioSvc from a
# folder of its own (C:\radio-demo, with a DbgLog.ini that sends its records
# to a file there), switches the simulated WLAN radio on and off, shows the
# LED register writes and "LEDSTATE", then stops and uninstalls the service.
# Every step says what happens and is checked: the exit status is non-zero,
# with the reason, when a step does not do what it should. Every wait is
# bounded. Everything loaded is removed again, also after a failure.
# Run after the build (./build.sh runs it last). RadioSvc.exe ships for x86;
# where this machine cannot run 32-bit Wine, the x64 tree's build of the
# same program is shown instead (and the script says so).
set -euo pipefail
demo_name=demo-radio
source "$(dirname "${BASH_SOURCE[0]}")/demo-lib.sh"
unset DISPLAY

service=NRVRadioSvc
demo_win='C:\radio-demo'
demo_dir="$WINEPREFIX/drive_c/radio-demo"
log_file="$demo_dir/RadioSvc.log"
service_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service"
keyhub_key='HKLM\SYSTEM\CurrentControlSet\Services\keyhub'
led_key="$keyhub_key\\Parameters"
vadctl_exe="$NRV_BUILD/x64/bin/vadctl.exe"

# Which build to show: the shipped x86 one when this machine runs 32-bit
# programs, else the x64 tree's build of the same sources.
if nrv_x86_runs; then
  arch=x86 loader="$NRV_WINE32"
  exe="$NRV_ROOT/out/bin/RadioSvc.exe"
  [ -f "$exe" ] || exe="$NRV_BUILD/x86/bin/RadioSvc.exe"
else
  arch=x64 loader="$NRV_WINE64"
  exe="$NRV_BUILD/x64/bin/RadioSvc.exe"
fi
bin="$NRV_BUILD/$arch/bin"

vadctl() { win64 "$vadctl_exe" "$@"; }
radioctl() { run "$loader" "$bin/radioctl.exe" "$@"; }
radiosvc() { run "$loader" "$demo_win\\RadioSvc.exe" "$@"; }

state() { service_state "$service"; }
state_is() { service_is "$service" "$1"; }

# The LED register writes in the device's log: one word each (0 lit, 1 out).
led_writes() { vadctl log | grep -o 'words=0xff00,0x56,0x[01],0xfffe' | sed 's/.*0x56,0x\([01]\).*/\1/'; }
led_count() { led_writes | wc -l; }
last_led() { led_writes | tail -1; }
ledstate() {
  win64 reg query "$led_key" /v LEDSTATE 2>/dev/null | sed -n 's/.*LEDSTATE *REG_DWORD *0x\([0-9a-f]*\).*/\1/p'
}
led_is() { [ "$(led_count)" -gt "$1" ] && [ "$(last_led)" = "$2" ] && [ "$(ledstate)" = "$3" ]; }
show_led() {
  local word
  word=$(last_led)
  say "  latest LED register write: register 0x56, word $word ($([ "$word" = 0 ] && echo 'LED lit' || echo 'LED out'))"
  say "  LEDSTATE under $led_key: $(ledstate)"
}

log_lines() { if [ -f "$log_file" ]; then wc -l <"$log_file"; else echo 0; fi; }
# The service's information and error records after line FROM, and the
# records of the notification sink.
show_records() {
  local shown=0 line text
  while IFS= read -r line; do
    case "$line" in
      *" [INF]"* | *" [ERR]"* | *"ENTER CMediaRadioManagerNotifySink"*) ;;
      *) continue ;;
    esac
    text=${line#*): }
    text=${text#"${text%%\[*}"}
    say "    $text"
    shown=1
  done < <(tail -n +"$(($1 + 1))" "$log_file" 2>/dev/null | tr -d '\r')
  [ "$shown" -eq 1 ] || say "    (no records)"
}

loaded=0
cleanup() {
  local rc=$?
  set +e
  if [ -n "$(state)" ]; then
    say "demo-radio: cleaning up: stopping and deleting service $service"
    sc stop "$service" >/dev/null 2>&1
    wait_for 30 state_is STOPPED
    sc delete "$service" >/dev/null 2>&1
  fi
  if [ "$loaded" -eq 1 ]; then
    radioctl uninstall >/dev/null || rc=1
    "$NRV_ROOT/scripts/vadsim.sh" remove >/dev/null || rc=1
    win64 reg delete "$keyhub_key" /f >/dev/null 2>&1
  fi
  nrv_stop_wineserver
  exit $rc
}

echo
echo "Demonstration: the radio service on the simulated notebook (Wine)"

step "1. Load the simulated notebook"
[ -f "$exe" ] || fail "no RadioSvc.exe at $exe (build first)"
[ -f "$bin/radioctl.exe" ] && [ -f "$bin/nrvradiosim.dll" ] || fail "no simulated radio managers in $bin"
[ -f "$vadctl_exe" ] || fail "no vadctl.exe at $vadctl_exe"
if [ "$arch" = x64 ]; then
  say "This machine cannot run 32-bit programs under Wine: the demonstration shows"
  say "the x64 tree's build of RadioSvc (the same sources; the x86 build ships)."
fi
nrv_ensure_prefix
trap cleanup EXIT
nrv_start_wineserver
loaded=1
"$NRV_ROOT/scripts/vadsim.sh" install >/dev/null || fail "the simulated device does not load"
out=$(vadctl reset) || fail "vadctl reset failed: $out"
out=$(radioctl install "Z:$(realpath "$bin/nrvradiosim.dll" | tr / '\\')") ||
  fail "the simulated radio managers do not install: $out"
say "The simulated firmware device (nrvvadsim.sys) is loaded, and the simulated"
say "radio managers (nrvradiosim.dll) are registered for the three Windows"
say "radio-manager classes. Each manager has one radio, switched off:"
radioctl status | grep -E '^(wlan|wwan|bt) ' | sed 's/ objects=.*//; s/^/  /'
win64 reg add "$led_key" /f >/dev/null || fail "cannot create $led_key"
say "The hotkey driver's key $led_key exists (the service"
say "only opens it, it never creates it)."

step "2. Install and start the service"
rm -rf "$demo_dir"
mkdir -p "$demo_dir"
cp "$exe" "$demo_dir/"
printf '[LOG]\r\nLevel=3\r\nDestination=3\r\nLogFile=%s\r\n' "$demo_win\\RadioSvc.log" >"$demo_dir/DbgLog.ini"
say "Copied RadioSvc.exe into $demo_win with a DbgLog.ini that sends every record to"
say "$demo_win\\RadioSvc.log."
t0=$(now_ms)
radiosvc /INSTALL >/dev/null || true
wait_for 30 state_is RUNNING || fail "RadioSvc.exe /INSTALL did not leave $service running (state: $(state))"
say "RadioSvc.exe /INSTALL created the service and started it ($(($(now_ms) - t0)) ms; the"
say "program then tries the service dispatcher, which fails outside the service"
say "manager, as it should; under Wine that takes about 10 s)."
qc=$(win64 reg query "$service_key") || fail "no service key $service_key"
printf '%s\n' "$qc" | grep -E '^ *(Type|Start|ErrorControl|ImagePath|ObjectName) ' | sed 's/^ */    /'
value() { printf '%s\n' "$qc" | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
[ "$(value Type)" = 0x10 ] || fail "not an own-process service"
[ "$(value Start)" = 0x2 ] || fail "not started automatically"
[ "$(value ImagePath)" = "\"$demo_win\\RadioSvc.exe\"" ] || fail "image path $(value ImagePath)"
say "  -> its own process, automatic start, errors ignored, the quoted program path, LocalSystem."
vadctl log | grep -q 'words=0xff00,0x56,0x1,0x2000' || fail "no WWAN power write"
say "At its start the service switched the WWAN module's power on: register 0x56"
say "written with {0xFF00, 0x56, 1, 0x2000, 0, 0} (from the device's log):"
vadctl log | grep 'words=0xff00,0x56,0x1,0x2000' | head -1 | sed 's/^/    /'
wait_for 15 led_is 0 1 0 || fail "no LED write with every radio off"
say "Its rebuild thread attached to the three managers; the LED thread then asked"
say "every radio for its state. All are off, so the LED goes out:"
show_led

step "3. Switch the simulated WLAN radio on"
before=$(led_count)
from=$(log_lines)
out=$(radioctl switch wlan 0 on) || fail "radioctl switch failed: $out"
wait_for 10 led_is "$before" 0 1 || fail "the LED was not lit (latest word $(last_led), LEDSTATE $(ledstate))"
say "The WLAN manager reported the change to the service's notification sink,"
say "which woke the LED thread:"
show_records "$from"
show_led
say "  -> one radio on: LED word 0 lights the LED, and LEDSTATE 1 tells the Bluetooth"
say "     radio-switch driver that the LED is lit."

step "4. Switch it off again"
before=$(led_count)
from=$(log_lines)
out=$(radioctl switch wlan 0 off) || fail "radioctl switch failed: $out"
wait_for 10 led_is "$before" 1 0 || fail "the LED did not go out (latest word $(last_led), LEDSTATE $(ledstate))"
show_records "$from"
show_led
say "  -> no radio on: LED word 1 puts the LED out, LEDSTATE 0."

step "5. Stop and uninstall the service"
t0=$(now_ms)
out=$(sc stop "$service") || fail "sc stop failed: $out"
wait_for 10 state_is STOPPED || fail "the service is not STOPPED 10 s after sc stop"
say "sc stop $service: STOPPED after $(($(now_ms) - t0)) ms."
radioctl status | grep -q '^wlan .*sinks=0' || fail "the service left a sink advised"
say "It unadvised its sinks and released every radio manager object."
radiosvc /UNINSTALL >/dev/null || true
wait_for 10 state_is "" || fail "the service is still there after /UNINSTALL"
! win64 reg query "$service_key" >/dev/null 2>&1 || fail "$service_key is still there"
say "RadioSvc.exe /UNINSTALL deleted the service."
radioctl uninstall >/dev/null || fail "the simulated radio managers do not uninstall"
"$NRV_ROOT/scripts/vadsim.sh" remove >/dev/null || fail "the simulated device does not unload"
win64 reg delete "$keyhub_key" /f >/dev/null || fail "cannot delete $keyhub_key"
loaded=0
say "The simulated managers and device are removed, and the hotkey driver's key"
say "deleted. The service's whole log stays in $demo_win\\RadioSvc.log."

demo_finish
