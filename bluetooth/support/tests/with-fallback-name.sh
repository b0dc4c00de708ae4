#!/usr/bin/env bash
# with-fallback-name.sh x86|x64 PROGRAM [ARGS...]
# Runs a test program while the radio switch device's fallback name
# "\\.\NrvACPI" opens something that is not the radio switch: Wine resolves
# a name without a kernel device through the prefix's dosdevices folder,
# here to /dev/null. The name is removed again whatever the outcome.
set -euo pipefail
arch="$1"; shift
source "$(dirname "${BASH_SOURCE[0]}")/../../../scripts/wine-env.sh"
link="$WINEPREFIX/dosdevices/nrvacpi"
trap 'rm -f "$link"' EXIT
ln -sfn /dev/null "$link"
"$NRV_ROOT/scripts/wine-run.sh" "$arch" "$@"
