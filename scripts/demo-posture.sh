#!/usr/bin/env bash
# demo-posture.sh
# Shows the posture service at work on the simulated notebook, in the
# project's Wine prefix: installs POSTURESVC from a folder of its own
# (C:\posture-demo, with a DbgLog.ini that sends its records to a file there),
# starts it with the tablet undocked, docks the tablet into its keyboard dock
# and takes it out again through the simulated firmware, then stops and
# uninstalls the service. Every step says what happens and is checked: the
# exit status is non-zero, with the reason, when a step does not do what it
# should. Every wait is bounded. The simulated device and the Wine server are
# removed and stopped at the end, also after a failure.
# Run after the build (./build.sh runs it last); POSTURESVC.exe and
# POSTURESVC.ini come from out/bin, or from the x64 tree when out/bin has none.
set -euo pipefail
demo_name=demo-posture
source "$(dirname "${BASH_SOURCE[0]}")/demo-lib.sh"
# Nothing here draws a window.
unset DISPLAY

service=POSTURESVC
dock_event=0x94
kb_dock_id=0x0302 # KBDOCK_ID of [KBDOCK_TRAVEL] in the sample POSTURESVC.ini
demo_win='C:\posture-demo'
demo_dir="$WINEPREFIX/drive_c/posture-demo"
log_win="$demo_win\\POSTURESVC.log"
log_file="$demo_dir/POSTURESVC.log"
service_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service"
posture_key='HKLM\SOFTWARE\NORVALE\NORVALE System Driver\NORVALE Posture Service'
vadctl_exe="$NRV_BUILD/x64/bin/vadctl.exe"

vadctl() { win64 "$vadctl_exe" "$@"; }
posturesvc() { win64 "$demo_win\\POSTURESVC.exe" "$@"; }

# RUNNING, STOPPED, ...; empty when there is no such service.
state() { service_state "$service"; }
state_is() { service_is "$service" "$1"; }

# The indicators' states (slate/laptop, undocked/docked) and write counts,
# from `vadctl indicators`, into slate_state, slate_writes, dock_state and
# dock_writes.
slate_state="" slate_writes=0 dock_state="" dock_writes=0
read_indicators() {
  local text name line
  text=$(vadctl indicators) || fail "vadctl indicators failed: $text"
  for name in slate dock; do
    line=$(printf '%s\n' "$text" | grep -E "^$name [a-z]+ writes=[0-9]+ ") ||
      fail "vadctl indicators printed no $name indicator: $text"
    printf -v "${name}_state" '%s' "$(printf '%s\n' "$line" | awk '{print $2}')"
    printf -v "${name}_writes" '%s' "$(printf '%s\n' "$line" | sed 's/.* writes=\([0-9]*\).*/\1/')"
  done
}
show_indicators() {
  read_indicators
  say "  slate indicator: $slate_state (writes so far: $slate_writes)"
  say "  dock indicator:  $dock_state (writes so far: $dock_writes)"
}
# writes_are SLATE DOCK: whether the write counts are these now.
writes_are() {
  read_indicators
  [ "$slate_writes" -eq "$1" ] && [ "$dock_writes" -eq "$2" ]
}
# writes_reach SLATE DOCK: whether both write counts are at least these now.
writes_reach() {
  read_indicators
  [ "$slate_writes" -ge "$1" ] && [ "$dock_writes" -ge "$2" ]
}

# The service's waits for a firmware event CODE that the device holds.
waiting_for_event() {
  local pending
  pending=$(vadctl pending) || return 1
  printf '%s\n' "$pending" | grep -Eiq "^code 0x0*${1#0x} [1-9]"
}

# The log's lines, counted, so that a step shows only the records it caused.
log_lines() { if [ -f "$log_file" ]; then wc -l <"$log_file"; else echo 0; fi; }
log_since() {
  if [ -f "$log_file" ]; then tail -n +"$(($1 + 1))" "$log_file" | tr -d '\r'; fi
}
# Succeeds once the log has, after line FROM, COUNT lines matching PATTERN.
log_has() {
  local n
  n=$(log_since "$1" | grep -c -- "$3" || true)
  [ "$n" -ge "$2" ]
}

# What a record of the service means, in words.
explain() {
  case "$1" in
    *"g_DockRotation = false"*) echo "no decision locks the rotation: dock workers will run" ;;
    *"g_isConvertible = false,g_isReverseDockConvertible = false"*)
      echo "not a convertible: the firmware's docking method VCID decides the posture" ;;
    *"g_isWorkaround = false"*) echo "this model needs no resume workaround" ;;
    *"c_nNotifyCode_DockingEvent"*) echo "the service waits for the firmware's docking event 0x94" ;;
    *"PSVRegRead_"*"Error Code: 0xffffffff"*)
      echo "a decision value cannot be read (the service's registry key is absent): its default applies" ;;
    *"PassedWaitForSingleObject"*) echo "a dock worker takes its turn (one worker at a time)" ;;
    *"StandardDocking"*) echo "standard docking (not a resume from sleep): ask the firmware now" ;;
    *"GetCurrentDockStatus"*"KBDock is connected"*)
      echo "VCID answered a keyboard dock id listed in POSTURESVC.ini" ;;
    *"GetCurrentDockStatus"*"Cradle is connected"*) echo "VCID answered the cradle's id" ;;
    *"GetCurrentDockStatus"*"Undocked"*) echo "VCID answered 0: no dock" ;;
    *"FinishGetCurrentDockStatusLoop"*) echo "the dock state is known" ;;
    *"Connect_KBDock"*) echo "decision: the tablet sits in its keyboard dock" ;;
    *"ToggleDockState_KBDock"*)
      echo "Windows reports slate mode: one write to the slate indicator switches it to laptop mode" ;;
    *"ToggleDockState_CradleDock"*)
      echo "Windows reports undocked: one write to the dock indicator switches it to docked" ;;
    *"ToggleDockState_Disconnect"*)
      echo "decision: undocked; Windows reports slate mode and undocked already, so nothing is written" ;;
    *"dwControl = 1"*) echo "the service manager asks the service to stop" ;;
    *) echo "" ;;
  esac
}

# Prints the service's state and error records after line FROM, each
# with what it means.
show_records() {
  local line text why shown=0
  while IFS= read -r line; do
    case "$line" in *" [TRC]"* | *" [ERR]"*) ;; *) continue ;; esac
    # Function traces are left to the log file.
    case "$line" in *"): ENTER "* | *"): LEAVE "*) continue ;; esac
    # "time: source(line): component [LVL] (tag): message" -> "[LVL] (tag): message"
    text=${line#*): }
    text=${text#"${text%%\[*}"}
    text=${text//$'\t'/ }
    why=$(explain "$line")
    say "    $text"
    [ -z "$why" ] || say "        -> $why"
    shown=1
  done < <(log_since "$1")
  [ "$shown" -eq 1 ] || say "    (no records)"
}

device_loaded=0
service_installed=0
cleanup() {
  local rc=$?
  set +e
  if [ "$service_installed" -eq 1 ] || [ -n "$(state)" ]; then
    say "demo-posture: cleaning up: stopping and deleting service $service"
    sc stop "$service" >/dev/null 2>&1
    wait_for 60 state_is STOPPED
    sc delete "$service" >/dev/null 2>&1
  fi
  if [ "$device_loaded" -eq 1 ]; then
    "$NRV_ROOT/scripts/vadsim.sh" remove >/dev/null || rc=1
  fi
  nrv_stop_wineserver
  exit $rc
}

echo
echo "Demonstration: the posture service on the simulated notebook (Wine)"

# --- 1 -----------------------------------------------------------------------
step "1. Load the simulated notebook"
exe="$NRV_ROOT/out/bin/POSTURESVC.exe"
[ -f "$exe" ] || exe="$NRV_BUILD/x64/bin/POSTURESVC.exe"
[ -f "$exe" ] || fail "no POSTURESVC.exe in out/bin or in $NRV_BUILD/x64/bin (build first)"
# out/bin holds the programs only; the sample configuration lies in the tree.
ini="$(dirname "$exe")/POSTURESVC.ini"
[ -f "$ini" ] || ini="$NRV_BUILD/x64/bin/POSTURESVC.ini"
[ -f "$ini" ] || fail "no POSTURESVC.ini beside $exe or in $NRV_BUILD/x64/bin"
[ -f "$vadctl_exe" ] || fail "no vadctl.exe at $vadctl_exe (the x64 tree builds it)"

nrv_ensure_prefix
trap cleanup EXIT
nrv_start_wineserver
say "A Wine server runs for the prefix $WINEPREFIX."
device_loaded=1
"$NRV_ROOT/scripts/vadsim.sh" install >/dev/null || fail "the simulated device does not load"
out=$(vadctl reset) || fail "vadctl reset failed: $out"
say "The simulated firmware device (driver nrvvadsim.sys) is loaded, and Windows"
say "finds its two posture indicators. Both start at rest:"
show_indicators
writes_are 0 0 || fail "the indicators were written before the service ran"

# --- 2 -----------------------------------------------------------------------
step "2. Put the service in a folder of its own"
rm -rf "$demo_dir"
mkdir -p "$demo_dir"
cp "$exe" "$ini" "$demo_dir/"
# Information records and function traces, each record appended to the file.
printf '[LOG]\r\nLevel=3\r\nDestination=3\r\nLogFile=%s\r\n' "$log_win" >"$demo_dir/DbgLog.ini"
say "Copied $exe"
say "and $ini"
say "into $demo_win, with a DbgLog.ini that sends the service's records to"
say "$log_win (level 3: information records and function traces)."
if win64 reg query "$posture_key" >/dev/null 2>&1; then
  win64 reg delete "$posture_key" /f >/dev/null || fail "cannot delete the leftover key $posture_key"
  say "Deleted the posture service's registry key a previous run left."
fi
! win64 reg query "$posture_key" >/dev/null 2>&1 || fail "the key $posture_key is still there"
say "No install decisions in the registry ($posture_key):"
say "the service will use standard docking mode."
if [ -n "$(state)" ]; then
  service_installed=1
  say "A service $service is left from an earlier run: stopping and uninstalling it."
  sc stop "$service" >/dev/null || true
  wait_for 60 state_is STOPPED || fail "the leftover service does not stop (state: $(state))"
  sc delete "$service" >/dev/null || fail "cannot delete the leftover service"
  wait_for 10 state_is "" || fail "the leftover service is still there"
  service_installed=0
fi

# --- 3 -----------------------------------------------------------------------
step "3. Install the service and start it, the tablet undocked"
service_installed=1
out=$(posturesvc /INSTALL) || fail "POSTURESVC.exe /INSTALL failed: $out"
# Wine's sc has no "qc": the service manager keeps each service's
# configuration under its Services key, which is what "sc qc" would show.
qc=$(win64 reg query "$service_key") || fail "POSTURESVC.exe /INSTALL created no service $service"
value() { printf '%s\n' "$qc" | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
say "POSTURESVC.exe /INSTALL created the service. Wine's sc has no \"qc\" command;"
say "the configuration it would show is under $service_key:"
printf '%s\n' "$qc" | grep -E '^ *(Type|Start|ImagePath|DisplayName) ' | sed 's/^ */    /'
[ "$(value Type)" = 0x10 ] || fail "the service is not an own-process service (Type $(value Type))"
[ "$(value Start)" = 0x2 ] || fail "the service does not start automatically (Start $(value Start))"
[ "$(value ImagePath)" = "\"$demo_win\\POSTURESVC.exe\"" ] ||
  fail "the image path is $(value ImagePath), not \"$demo_win\\POSTURESVC.exe\""
[ "$(value DisplayName)" = "NORVALE Posture Service" ] ||
  fail "the display name is \"$(value DisplayName)\", not \"NORVALE Posture Service\""
say "  -> type 0x10: a service in its own process; start 2: started automatically"
say "     with Windows; the image path is the quoted POSTURESVC.exe of $demo_win;"
say "     the display name is \"NORVALE Posture Service\"."

out=$(vadctl method VCID 0) || fail "vadctl method VCID 0 failed: $out"
say "The tablet is out of any dock: the firmware's docking method VCID answers 0."
from=$(log_lines)
t0=$(now_ms)
out=$(sc start "$service") || fail "sc start $service failed: $out"
wait_for 30 state_is RUNNING || fail "the service is not RUNNING 30 s after its start (state: $(state))"
say "sc start $service: the service runs (RUNNING after $(($(now_ms) - t0)) ms)."
# The dock worker started with the service looks at once; the service then
# waits for the docking event.
wait_for 30 log_has "$from" 1 "LEAVE DockStatusThread" ||
  fail "the first dock worker did not finish within 30 s"
wait_for 30 waiting_for_event "$dock_event" ||
  fail "the service is not waiting for firmware event $dock_event"
say "Its records from the start (information and errors; the log file also has"
say "the function traces):"
show_records "$from"
writes_are 0 0 || fail "the service wrote an indicator for an undocked tablet"
say "The first dock worker found the tablet undocked and wrote nothing. The"
say "service now waits for the firmware's docking event $dock_event."

# --- 4 -----------------------------------------------------------------------
step "4. Dock the tablet into its keyboard dock"
read_indicators
slate0=$slate_writes
dock0=$dock_writes
out=$(vadctl method VCID "$kb_dock_id") || fail "vadctl method VCID $kb_dock_id failed: $out"
from=$(log_lines)
out=$(vadctl raise "$dock_event" 0) || fail "vadctl raise $dock_event failed: $out"
printf '%s\n' "$out" | grep -Eq '^completed [1-9]' ||
  fail "the docking event reached no waiting service: $out"
say "VCID now answers $kb_dock_id (a keyboard dock in POSTURESVC.ini), and the"
say "firmware raised the docking event $dock_event: a new dock worker starts."
wait_for 30 writes_reach $((slate0 + 1)) $((dock0 + 1)) ||
  fail "the indicators were not written within 30 s (slate writes: $slate_writes, dock writes: $dock_writes)"
wait_for 30 log_has "$from" 1 "LEAVE DockStatusThread" ||
  fail "the dock worker did not finish within 30 s"
say "The service's records from this event:"
show_records "$from"
say "The indicators now:"
show_indicators
writes_are $((slate0 + 1)) $((dock0 + 1)) || fail "expected one write to each indicator"
[ "$slate_state" = laptop ] || fail "the slate indicator is not in laptop mode"
[ "$dock_state" = docked ] || fail "the dock indicator is not docked"
say "  -> one write each: Windows is told the tablet is in laptop mode and docked."
wait_for 30 waiting_for_event "$dock_event" ||
  fail "the service does not wait for the next docking event"

# --- 5 -----------------------------------------------------------------------
step "5. Take the tablet out of its dock"
slate1=$slate_writes
dock1=$dock_writes
out=$(vadctl method VCID 0) || fail "vadctl method VCID 0 failed: $out"
from=$(log_lines)
out=$(vadctl raise "$dock_event" 0) || fail "vadctl raise $dock_event failed: $out"
printf '%s\n' "$out" | grep -Eq '^completed [1-9]' ||
  fail "the docking event reached no waiting service: $out"
say "VCID answers 0 again and the firmware raised $dock_event: another dock worker runs."
wait_for 30 log_has "$from" 1 "LEAVE DockStatusThread" ||
  fail "the dock worker did not finish within 30 s"
say "The service's records from this event:"
show_records "$from"
log_since "$from" | grep -q $'POSTURESVC_GetCurrentDockStatus\tUndocked' ||
  fail "the worker did not find the tablet undocked"
log_since "$from" | grep -q 'POSTURESVC_DockStatusThread_ToggleDockState_Disconnect' ||
  fail "the worker did not take the undocked branch"
say "The indicators now:"
show_indicators
writes_are "$slate1" "$dock1" || fail "the worker wrote an indicator at the undock"
say "  -> no write. The worker writes an indicator only when what Windows reports"
say "     differs from the dock state. Under Wine, GetSystemMetrics reports slate"
say "     mode and undocked at all times, whatever the indicators say: Wine reports"
say "     a fixed indicator state, so the undock needs no write. (On Windows the"
say "     writes of step 4 would have changed what it reports, and the worker would"
say "     write both indicators back now.) The simulated indicators keep the states"
say "     step 4 gave them."
wait_for 30 waiting_for_event "$dock_event" ||
  fail "the service does not wait for the next docking event"

# --- 6 -----------------------------------------------------------------------
step "6. Stop and uninstall the service"
from=$(log_lines)
t0=$(now_ms)
out=$(sc stop "$service") || fail "sc stop $service failed: $out"
wait_for 60 state_is STOPPED || fail "the service is not STOPPED 60 s after sc stop (state: $(state))"
say "sc stop $service: STOPPED after $(($(now_ms) - t0)) ms (its pending event wait is cancelled)."
say "Its records:"
show_records "$from"
read_indicators
slate2=$slate_writes
dock2=$dock_writes
out=$(posturesvc /UNINSTALL) || fail "POSTURESVC.exe /UNINSTALL failed: $out"
wait_for 10 state_is "" || fail "the service $service is still there after /UNINSTALL"
service_installed=0
query_rc=0
query=$(sc query "$service") || query_rc=$?
[ "$query_rc" -ne 0 ] || fail "sc query $service still finds the service: $query"
! printf '%s\n' "$query" | grep -q STATE || fail "sc query $service still reports a state: $query"
! win64 reg query "$service_key" >/dev/null 2>&1 || fail "$service_key is still there"
say "POSTURESVC.exe /UNINSTALL deleted the service: sc query $service prints nothing"
say "and exits with status $query_rc (Wine's sc for a service that does not exist), and"
say "$service_key is gone."
writes_are "$slate2" "$dock2" ||
  fail "the uninstall wrote an indicator although Wine reports slate mode and undocked"
say "The uninstall sets Windows back to slate mode and undocked only where it"
say "reports otherwise; Wine already reports both, so it wrote nothing."
"$NRV_ROOT/scripts/vadsim.sh" remove >/dev/null || fail "the simulated device does not unload"
device_loaded=0
say "The simulated device is unloaded and its indicators unregistered."
say "The service's whole log, function traces included, stays in $log_win"
say "($log_file)."

demo_finish
