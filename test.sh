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
  # A test that fails is run once more before it counts: several end-to-end and
  # stress tests race real processes and threads on a loaded 2-core machine.
  # A test that fails twice fails the run; flaky ones are listed in the output.
  ctest --preset "$preset" -j "$(nproc)" --repeat until-pass:2
done
