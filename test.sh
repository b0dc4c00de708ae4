#!/usr/bin/env bash
# Runs the whole test suite: installs what is missing, builds both
# architectures, then runs every test binary under Wine (32-bit tests under
# 32-bit Wine, 64-bit tests under 64-bit Wine) with one Wine server held up
# for the run. The exit status is the result.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup-host.sh
scripts/build-trees.sh
source scripts/wine-env.sh
nrv_ensure_prefix
unset DISPLAY
nrv_start_display
nrv_start_wineserver
trap 'nrv_stop_wineserver; nrv_stop_display' EXIT
nrv_wait_for_desktop

passed=0; failed=0; status=0
for arch in x86 x64; do
  log="$NRV_BUILD/$arch/ctest.log"
  set +e
  ctest --test-dir "$NRV_BUILD/$arch" --output-on-failure -j2 "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  set -e
  [ "$rc" -eq 0 ] || status=1
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -z "$line" ]; then status=1; continue; fi
  total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')
  passed=$((passed + total - bad)); failed=$((failed + bad))
done
[ $((passed + failed)) -gt 0 ] || status=1
echo "$passed passed, $failed failed"
exit $status
