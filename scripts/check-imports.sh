#!/usr/bin/env bash
# check-imports.sh DIR
# Fails when a program, library or driver in DIR imports anything but
# Windows system DLLs (a MinGW runtime DLL, zlib1.dll, ...).
set -uo pipefail
dir="$1"
allowed='^(kernel32|user32|gdi32|advapi32|msvcrt|shell32|ole32|oleaut32|comctl32|comdlg32|shlwapi|setupapi|hid|version|ntdll|ws2_32|rpcrt4|bcrypt|cfgmgr32|newdev|powrprof|uxtheme|ntoskrnl|hal|wmilib)\.(dll|exe|sys)$'
status=0; count=0
shopt -s nullglob
for f in "$dir"/*.exe "$dir"/*.dll "$dir"/*.sys; do
  count=$((count + 1))
  while read -r dll; do
    if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -qE "$allowed"; then
      echo "FAIL: $(basename "$f") imports $dll"
      status=1
    fi
  done < <(objdump -p "$f" | sed -n 's/^[[:space:]]*DLL Name: //p')
  # The radio support library is found by the Bluetooth stack through its two
  # plain export names, in both builds: no stdcall decoration, nothing else.
  case "$(basename "$f")" in
    NrvBtRadio.dll | NrvBtRadio64.dll)
      exports=$(objdump -p "$f" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' |
        sort | tr '\n' ' ')
      if [ "$exports" != "BluetoothEnableRadio IsBluetoothRadioEnabled " ]; then
        echo "FAIL: $(basename "$f") exports '$exports', not BluetoothEnableRadio and IsBluetoothRadioEnabled"
        status=1
      fi ;;
  esac
done
if [ "$count" -eq 0 ]; then echo "FAIL: no binaries in $dir"; exit 1; fi
[ $status -eq 0 ] && echo "imports: $count binaries import Windows system DLLs only"
exit $status
