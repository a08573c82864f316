#!/usr/bin/env bash
# Sets up, builds and runs the main job: the emulated phone on this terminal,
# with the control program VorliskClient on its screen and the receiver
# driver's port served as a pseudo-terminal once the driver is loaded.
#   ./run.sh [phone options]
#   ./run.sh --headless --install-driver     no screen: the driver on COM9 at once
# Watch the port from another terminal: scripts/read_port.py ROOT/dev/COM9
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh >&2
scripts/build.sh default >&2
exec build/default/bin/phone "$@"
