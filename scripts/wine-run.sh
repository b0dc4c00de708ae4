#!/usr/bin/env bash
# wine-run.sh [--gui] x86|x64 PROGRAM [ARGS...]
# Runs a Windows program in the project's Wine prefix: 32-bit programs under
# 32-bit Wine, 64-bit programs under 64-bit Wine. With --gui it gets the
# run's display (NRV_GUI_DISPLAY), or an Xvfb of its own when there is none.
# The exit status is the program's.
set -euo pipefail
gui=0
if [ "${1:-}" = "--gui" ]; then gui=1; shift; fi
arch="$1"; shift
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
if [ "$gui" -eq 1 ]; then
  if [ -n "${NRV_GUI_DISPLAY:-}" ]; then
    export DISPLAY="$NRV_GUI_DISPLAY"
  else
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$arch" "$@"
  fi
fi
case "$arch" in
  x86) exec "$NRV_WINE32" "$@" ;;
  x64) exec "$NRV_WINE64" "$@" ;;
  *) echo "wine-run: unknown architecture $arch" >&2; exit 2 ;;
esac
