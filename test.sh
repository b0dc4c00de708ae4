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

passed=0; failed=0; skipped=0; status=0
# Tests with windows run first in each tree, apart from the others: while the
# simulated devices are installed and scripted, Wine's desktop can be too
# busy to answer a new program, which then gets no graphics driver.
run_ctest() {
  local log="$1"; shift
  set +e
  ctest --test-dir "$tree" --output-on-failure -j2 "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  [ "$rc" -eq 0 ] || status=1
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  [ -n "$line" ] || return 0
  total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')
  passed=$((passed + total - bad)); failed=$((failed + bad))
}
# Tests labelled "host" run on Linux itself (the imports check, build-time
# checks); every other test runs a Windows program under Wine.
count_tests() { ctest --test-dir "$tree" -N "$@" | sed -n 's/^Total Tests: *//p'; }
for arch in x86 x64; do
  tree="$NRV_BUILD/$arch"
  if [ "$arch" = x86 ] && ! nrv_x86_runs; then
    # Every x86 program is also built in the x64 tree, where its tests run.
    all=$(count_tests "$@"); host=$(count_tests -L host "$@")
    echo "test: this machine cannot run 32-bit programs (the kernel has no IA-32 emulation):"
    echo "test: $((all - host)) of the x86 tree's $all tests are skipped; the x64 tree runs the same programs built for x64"
    skipped=$((skipped + all - host))
    [ "$host" -gt 0 ] && run_ctest "$tree/ctest.log" -L host "$@"
    continue
  fi
  nrv_wait_for_desktop
  run_ctest "$tree/ctest-gui.log" -L gui "$@"
  run_ctest "$tree/ctest.log" -LE gui "$@"
done
[ $((passed + failed)) -gt 0 ] || status=1
if [ "$status" -ne 0 ] && [ -s "$NRV_BUILD/wineserver.log" ]; then
  echo "test: the Wine server wrote:"
  tail -n 40 "$NRV_BUILD/wineserver.log"
fi
echo "$passed passed, $failed failed, $skipped skipped"
exit $status
