#!/usr/bin/env bash
# bench-selfextract.sh [ROUNDS]
# Extraction throughput of a 200 MB package (40 files of 5 MB: half text,
# half incompressible bytes) under 64-bit Wine, three ways, each a program
# of its own started the same way: the package itself (selfextract.exe,
# silent), minizip's own miniunz built with the same compiler and flags, and
# a plain loop of raw inflate and WriteFile (selfextract_bench --plain).
# "direct" is the extractor's own reader and copy loop run in a console
# program (selfextract_bench --direct): the package without its window.
# Each figure is the best of ROUNDS (default 3) alternating rounds; the
# cost of starting an empty program is measured too and shown apart, and so
# is the cost of a program with a hidden window ("window", what the silent
# package pays under Wine before it extracts anything: the X11 driver, and
# Wine's desktop process when none is running). Wine ends its desktop one
# second after the last program with a window; a program holding a hidden
# window keeps it running through the rounds, as a user's session would,
# and the cost of a window without a running desktop is measured once.
# Uses a Wine prefix of its own (build/bench-wineprefix) and its own Xvfb.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
main_prefix="$WINEPREFIX"
export WINEPREFIX="$NRV_BUILD/bench-wineprefix"
rounds="${1:-3}"
bin="$NRV_BUILD/x64/bin"
work="$NRV_BUILD/bench-selfextract"
for f in selfextract.exe miniunz.exe selfextract_bench.exe; do
  [ -f "$bin/$f" ] || { echo "bench-selfextract: $bin/$f is missing; build the x64 tree first" >&2; exit 1; }
done
win() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }

# A copy of the project's prefix is quicker to make than a new one.
if [ ! -f "$WINEPREFIX/system.reg" ] && [ -f "$main_prefix/system.reg" ]; then
  cp -a "$main_prefix" "$WINEPREFIX"
fi
nrv_ensure_prefix
unset DISPLAY
nrv_start_display
export DISPLAY="$NRV_GUI_DISPLAY"
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w </dev/null >/dev/null 2>&1 || true
wineserver -p </dev/null >/dev/null 2>&1
"$NRV_WINE64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true

holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; wineserver -k >/dev/null 2>&1 || true; nrv_stop_display' EXIT

mkdir -p "$work"
# The package is made again whenever the program in front of it is newer.
if [ ! -f "$work/pkg.exe" ] || [ "$bin/selfextract.exe" -nt "$work/pkg.exe" ]; then
  echo "== making the 200 MB package"
  "$NRV_WINE64" "$bin/selfextract_bench.exe" --make "$(win "$work/data")" "$(win "$work/pkg.exe")" \
    "$(win "$bin/selfextract.exe")" </dev/null | tr -d '\r'
fi
bytes=$(du -sb "$work/data" | cut -f1)

now_ns() { date +%s%N; }
run_sfx() { "$NRV_WINE64" "$work/pkg.exe" /S "/D$(win "$work/out")" </dev/null >/dev/null 2>&1 || [ $? -eq 200 ]; }
run_miniunz() { (cd "$work" && "$NRV_WINE64" "$bin/miniunz.exe" -x -o pkg.exe -d out </dev/null >/dev/null 2>&1); }
run_plain() { "$NRV_WINE64" "$bin/selfextract_bench.exe" --plain "$(win "$work/pkg.exe")" "$(win "$work/out")" </dev/null >/dev/null 2>&1; }
run_direct() { "$NRV_WINE64" "$bin/selfextract_bench.exe" --direct "$(win "$work/pkg.exe")" "$(win "$work/out")" </dev/null >/dev/null 2>&1; }
run_window() { "$NRV_WINE64" "$bin/selfextract_bench.exe" --window </dev/null >/dev/null 2>&1; }
run_noop() { "$NRV_WINE64" "$bin/selfextract_bench.exe" --noop </dev/null >/dev/null 2>&1; }

# A window while Wine's desktop is not running: it starts one.
sleep 2
t0=$(now_ns)
run_window
cold_window=$(( ($(now_ns) - t0) / 1000000 ))
"$NRV_WINE64" "$bin/selfextract_bench.exe" --window 3600000 </dev/null >/dev/null 2>&1 &
holder=$!

declare -A best
for r in $(seq "$rounds"); do
  for tool in noop window sfx direct miniunz plain; do
    rm -rf "$work/out"
    [ "$tool" = miniunz ] && mkdir -p "$work/out"
    sync
    t0=$(now_ns)
    "run_$tool" || { echo "bench-selfextract: $tool failed" >&2; exit 1; }
    t=$(( ($(now_ns) - t0) / 1000000 ))
    if [ "$tool" != noop ] && [ "$tool" != window ] && [ "$r" -eq 1 ]; then
      diff -r "$work/data" "$work/out" >/dev/null || { echo "bench-selfextract: $tool extracted something else" >&2; exit 1; }
    fi
    [ -z "${best[$tool]:-}" ] || [ "$t" -lt "${best[$tool]}" ] && best[$tool]=$t
  done
done
rm -rf "$work/out"
printf '== extraction of %s bytes (best of %s rounds; program start %s ms, with a hidden window %s ms,\n' \
  "$bytes" "$rounds" "${best[noop]}" "${best[window]}"
printf '   with a hidden window while no desktop runs %s ms)\n' "$cold_window"
# The package's start is that of a program with a window; the others are
# console programs.
declare -A start=([sfx]=${best[window]} [direct]=${best[noop]} [miniunz]=${best[noop]} [plain]=${best[noop]})
declare -A net
for tool in sfx direct miniunz plain; do
  net[$tool]=$(( best[$tool] - start[$tool] ))
  [ "${net[$tool]}" -gt 0 ] || net[$tool]=1
  printf '  %-8s %6s ms  %7.1f MB/s  (without the start: %6s ms, %7.1f MB/s)\n' "$tool" "${best[$tool]}" \
    "$(echo "$bytes / 1048576 / (${best[$tool]} / 1000)" | bc -l)" "${net[$tool]}" "$(echo "$bytes / 1048576 / (${net[$tool]} / 1000)" | bc -l)"
done
printf '  sfx / miniunz: %.2f   sfx / plain loop: %.2f (throughput, without the start)\n' \
  "$(echo "${net[miniunz]} / ${net[sfx]}" | bc -l)" "$(echo "${net[plain]} / ${net[sfx]}" | bc -l)"
printf '  whole runs: sfx / miniunz %.2f, sfx / plain loop %.2f\n' \
  "$(echo "${best[miniunz]} / ${best[sfx]}" | bc -l)" "$(echo "${best[plain]} / ${best[sfx]}" | bc -l)"
