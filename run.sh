#!/usr/bin/env bash
# Sets up, builds and runs the main job: the emulated phone with the receiver
# driver active on COM9 over the default station scenario.
#   ./run.sh [phone options]     e.g. ./run.sh --root /tmp/phone
# Watch the port from another terminal: scripts/read_port.py ROOT/dev/COM9
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh >&2
scripts/build.sh default >&2
exec build/default/bin/phone --headless --install-driver "$@"
