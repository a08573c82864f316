#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix:
#   wine.sh PREFIX PROGRAM [ARGS...]
# "wine.sh PREFIX --boot" only creates the prefix. Without 32-bit Wine,
# wineboot's "failed to open rundll32.exe" line is harmless.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
loader=$(command -v wine || true)
[ -n "$loader" ] || loader=/usr/lib/wine/wine64
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
if [ ! -f "$prefix/system.reg" ]; then
  "$loader" wineboot -i >/dev/null 2>&1 || true
  "$(dirname "$loader")/wineserver" -w 2>/dev/null || wineserver -w 2>/dev/null || true
fi
[ "${1:-}" = "--boot" ] && exit 0
exec "$loader" "$@"
