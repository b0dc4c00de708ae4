#!/usr/bin/env bash
# wine-run.sh x86|x64 PROGRAM [ARGS...]
# Runs a Windows program in the project's Wine prefix: 32-bit programs under
# 32-bit Wine, 64-bit programs under 64-bit Wine. The exit status is the
# program's.
set -euo pipefail
arch="$1"; shift
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
case "$arch" in
  x86) exec "$NRV_WINE32" "$@" ;;
  x64) exec "$NRV_WINE64" "$@" ;;
  *) echo "wine-run: unknown architecture $arch" >&2; exit 2 ;;
esac
