#!/usr/bin/env bash
# Sets up, builds and runs every test: ./test.sh [preset ...] (default: default)
set -euo pipefail
cd "$(dirname "$0")"
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default)
scripts/setup.sh "${presets[@]}"
for preset in "${presets[@]}"; do
  if [ "$preset" = windows ]; then
    # The Windows serial program under Wine talks to the Linux phone.
    echo "=== windows: the Linux phone"
    cmake --preset default >/dev/null
    cmake --build --preset default -j "$(nproc)" --target phone
  fi
  echo "=== $preset: build"
  scripts/build.sh "$preset"
  echo "=== $preset: test"
  # No retries: a test that fails once is a fault (a race is not bad luck).
  ctest --preset "$preset" -j "$(nproc)"
done
