#!/usr/bin/env bash
# write-failure.sh TESTS.EXE
# Runs selfextract_write_tests where a write really fails: a 1 MiB tmpfs
# (reached through Wine's Z: drive) is the full disk, and a file-size limit
# on the test and the packages it starts (SIGXFSZ ignored, so write() fails
# with EFBIG) is the write error. Mounting needs root; without it the test is
# skipped (exit 77).
set -euo pipefail
tests="$1"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
disk=$(mktemp -d /tmp/nrv-small-disk.XXXXXX)
cleanup() {
  umount "$disk" 2>/dev/null || true
  rmdir "$disk"
}
trap cleanup EXIT
if ! mount -t tmpfs -o size=1m nrv-small-disk "$disk" 2>/dev/null; then
  echo "write-failure: SKIPPED: cannot mount a 1 MiB tmpfs here (needs root and mount rights)"
  exit 77
fi
# The Wine server runs before the limit is set: it must not inherit it.
"$NRV_WINE64" cmd /c exit </dev/null >/dev/null 2>&1 || true
export NRV_SMALL_DISK="Z:${disk//\//\\}"
export NRV_FILE_SIZE_LIMIT=8388608
(
  trap '' XFSZ
  ulimit -f $((NRV_FILE_SIZE_LIMIT / 1024))
  "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-run.sh" --gui x64 "$tests"
)
