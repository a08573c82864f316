#!/usr/bin/env bash
# Sets up, builds and runs the main job: ./run.sh [options of the program]
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh >&2
scripts/build.sh default >&2
exec build/default/bin/fmdemo "$@"
