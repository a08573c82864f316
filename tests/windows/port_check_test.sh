#!/usr/bin/env bash
# A Windows serial program on the phone's port: runs the Linux phone with
# the receiver driver, links the Wine prefix's COM9 to the port's
# pseudo-terminal and runs port_check.exe under Wine against it.
#   port_check_test.sh PHONE PORT_CHECK_EXE PREFIX WORK_DIR
set -euo pipefail
phone=$1 program=$2 prefix=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -x "$phone" ]; then
  echo "SKIP: no phone at $phone (build the default preset first)"
  exit 77
fi
rm -rf "$work" "$work.out"
mkdir -p "$work"
# The phone takes over only an empty folder: its output goes beside the root.
"$phone" --headless --install-driver --root "$work" >"$work.out" 2>&1 &
phone_pid=$!
stop_phone() {
  kill "$phone_pid" 2>/dev/null || true
  wait "$phone_pid" 2>/dev/null || true
}
trap stop_phone EXIT
for _ in $(seq 100); do
  [ -e "$work/dev/COM9" ] && break
  sleep 0.2
done
if [ ! -e "$work/dev/COM9" ]; then
  echo "FAIL: the phone served no COM9 in 20 s"
  cat "$work.out"
  exit 1
fi
"$here/wine.sh" "$prefix" --boot
ln -sfn "$work/dev/COM9" "$prefix/dosdevices/com9"
"$here/wine.sh" "$prefix" "$program" '\\.\COM9' 94.4 3
