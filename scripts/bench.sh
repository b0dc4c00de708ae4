#!/usr/bin/env bash
# Runs the committed benchmarks under Wine, in both architectures: the debug
# log, the value-added device channel against the simulated device, the
# posture service's reaction time on the simulated notebook (x64), and the
# radio support library against the radio switch driver over the simulated
# firmware (each device loaded for the run and removed again). Build first
# (./build.sh or ./test.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
nrv_ensure_prefix
# A machine without 32-bit execution measures the x64 builds only.
archs="x64"
nrv_x86_runs && archs="x86 x64"
nrv_start_wineserver
trap '"$NRV_ROOT/scripts/vadsim.sh" remove >/dev/null 2>&1 || true; "$NRV_ROOT/scripts/btsim.sh" remove >/dev/null 2>&1 || true; nrv_stop_wineserver' EXIT

for arch in $archs; do
  echo "== debug log ($arch)"
  "$NRV_ROOT/scripts/wine-run.sh" "$arch" "$NRV_BUILD/$arch/bin/dbglog_bench.exe"
done
"$NRV_ROOT/scripts/vadsim.sh" install >/dev/null
for arch in $archs; do
  echo "== value-added device channel ($arch)"
  "$NRV_ROOT/scripts/wine-run.sh" "$arch" "$NRV_BUILD/$arch/bin/vadchannel_bench.exe"
done
echo "== posture service reaction time (x64, simulated notebook)"
NRV_BENCH=1 "$NRV_ROOT/scripts/wine-run.sh" x64 \
  "$NRV_BUILD/x64/bin/posture_service_cycles_tests.exe" \
  --gtest_filter=ServiceCycles.ReactionTimeBenchmark | grep -E '^posture reaction|FAILED|Failure' || true
"$NRV_ROOT/scripts/btsim.sh" install >/dev/null
for arch in $archs; do
  echo "== radio support library ($arch)"
  "$NRV_ROOT/scripts/wine-run.sh" "$arch" "$NRV_BUILD/$arch/bin/btradio_bench.exe"
done
# The radio service (x86 ships; the x64 tree builds the same program for its
# tests) against the simulated radio managers, registered for the run.
for arch in $archs; do
  echo "== radio service ($arch)"
  bin="$NRV_BUILD/$arch/bin"
  "$NRV_ROOT/scripts/wine-run.sh" "$arch" "$bin/radioctl.exe" install \
    "Z:$(realpath "$bin/nrvradiosim.dll" | tr / '\\')" >/dev/null
  "$NRV_ROOT/scripts/wine-run.sh" "$arch" "$bin/radio_bench.exe"
  "$NRV_ROOT/scripts/wine-run.sh" "$arch" "$bin/radioctl.exe" uninstall >/dev/null
done
"$NRV_ROOT/scripts/bench-selfextract.sh"
