#!/usr/bin/env bash
# fuzz-selfextract.sh [INPUTS] [SEED]
# The long fuzz run of the self-extractor's readers (description record,
# command line, archive) under 64-bit Wine: INPUTS mutated inputs (default
# 1,000,000) in rounds of 100,000, each round with its own seed. Needs the
# x64 tree (./build.sh or ./test.sh first). A fault stops the run and leaves
# the input as build/x64/bin/fuzz-failure.bin.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
total="${1:-1000000}"
seed="${2:-1}"
fuzz="$NRV_BUILD/x64/bin/selfextract_fuzz.exe"
[ -f "$fuzz" ] || { echo "fuzz-selfextract: $fuzz is missing; build the x64 tree first" >&2; exit 1; }
nrv_ensure_prefix
done_inputs=0
round=0
start=$(date +%s)
while [ "$done_inputs" -lt "$total" ]; do
  n=$((total - done_inputs))
  [ "$n" -gt 100000 ] && n=100000
  "$NRV_WINE64" "$fuzz" --inputs "$n" --seed $((seed + round)) </dev/null | tr -d '\r'
  done_inputs=$((done_inputs + n))
  round=$((round + 1))
done
echo "fuzz-selfextract: $done_inputs inputs in $(( $(date +%s) - start )) s, no fault"
