#!/usr/bin/env bash
# Sets up, builds and runs every test: ./test.sh [preset ...] (default: default)
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default)
for preset in "${presets[@]}"; do
  echo "=== $preset: build"
  scripts/build.sh "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$(nproc)"
done
