#!/usr/bin/env bash
# Builds everything and runs the main job: installs what is missing, builds
# both architectures, gathers every deliverable into out/bin and lists them
# with architecture and size, builds the package executable from them
# (scripts/build-package.sh), then demonstrates the whole package on the
# simulated notebook (scripts/demo-package.sh); a failure fails the build.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup-host.sh
scripts/build-trees.sh
source scripts/wine-env.sh
nrv_ensure_prefix

out="$NRV_ROOT/out"
rm -rf "$out"
for arch in x86 x64; do
  cmake --install "$NRV_BUILD/$arch" --prefix "$out" >/dev/null
done

echo
echo "Deliverables in $out/bin:"
printf '  %-28s %-5s %10s\n' NAME ARCH BYTES
for f in "$out"/bin/*; do
  case "$(objdump -f "$f" 2>/dev/null | sed -n 's/.*file format //p')" in
    pei-i386) arch=x86 ;;
    pei-x86-64) arch=x64 ;;
    *) arch=- ;;
  esac
  printf '  %-28s %-5s %10s\n' "$(basename "$f")" "$arch" "$(stat -c %s "$f")"
done

# The smaller demonstrations (scripts/demo-posture.sh, demo-radio.sh,
# demo-selfextract.sh) run by hand; the package's shows their events too.
scripts/build-package.sh
scripts/demo-package.sh
