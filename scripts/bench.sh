#!/usr/bin/env bash
# Runs the committed benchmarks under Wine, in both architectures: the debug
# log, and the value-added device channel against the simulated device
# (loaded for the run and removed again). Build first (./build.sh or
# ./test.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
nrv_ensure_prefix
nrv_start_wineserver
trap '"$NRV_ROOT/scripts/vadsim.sh" remove >/dev/null 2>&1 || true; nrv_stop_wineserver' EXIT

for arch in x86 x64; do
  echo "== debug log ($arch)"
  "$NRV_ROOT/scripts/wine-run.sh" "$arch" "$NRV_BUILD/$arch/bin/dbglog_bench.exe"
done
"$NRV_ROOT/scripts/vadsim.sh" install >/dev/null
for arch in x86 x64; do
  echo "== value-added device channel ($arch)"
  "$NRV_ROOT/scripts/wine-run.sh" "$arch" "$NRV_BUILD/$arch/bin/vadchannel_bench.exe"
done
"$NRV_ROOT/scripts/bench-selfextract.sh"
