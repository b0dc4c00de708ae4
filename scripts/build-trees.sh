#!/usr/bin/env bash
# Configures and builds the x86 and x64 trees under build/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
for arch in x86 x64; do
  tree="$NRV_BUILD/$arch"
  if [ ! -f "$tree/build.ninja" ]; then
    cmake -S "$NRV_ROOT" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$NRV_ROOT/cmake/toolchain-$arch.cmake" >/dev/null
  fi
  echo "build: $arch"
  cmake --build "$tree" -- -j"$(nproc)" --quiet
done
