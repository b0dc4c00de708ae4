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
done
if [ "$count" -eq 0 ]; then echo "FAIL: no binaries in $dir"; exit 1; fi
[ $status -eq 0 ] && echo "imports: $count binaries import Windows system DLLs only"
exit $status
