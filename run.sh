#!/usr/bin/env bash
# Sets up, builds and runs the main job: the emulated phone on this terminal,
# with the control program VorliskClient on its screen and the receiver
# driver's port served as a pseudo-terminal once the driver is loaded.
#   ./run.sh [phone options]
#   ./run.sh --headless --install-driver     no screen: the driver on COM9 at once
# Watch the port from another terminal: scripts/read_port.py ROOT/dev/COM9
#
# The build's output goes to build/run.log and is shown only when it fails,
# so that nothing of it stays behind the phone's screen.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh >&2
mkdir -p build
log=build/run.log
notice=false
if [ -t 2 ]; then
  printf 'run.sh: building (output in %s)...' "$log" >&2
  notice=true
fi
if ! scripts/build.sh default >"$log" 2>&1; then
  $notice && printf '\n' >&2
  cat "$log" >&2
  echo "run.sh: the build failed; its output is above and in $log" >&2
  exit 1
fi
$notice && printf '\r\033[K' >&2
exec build/default/bin/phone "$@"
