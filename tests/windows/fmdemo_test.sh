#!/usr/bin/env bash
# The tuner demo under Wine for a few seconds: it must print the radio's
# name, a tune report and RDS groups.  fmdemo_test.sh PREFIX FMDEMO_EXE
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(timeout 8 "$here/wine.sh" "$1" "$2" --frequency 94400 --seek-every 2 </dev/null 2>&1)
echo "$out" | head -20
status=0
for wanted in '^radio on: ' '^TUNE  94.4 MHz' '^TUNE .*(seek)' '^RDS   PI '; do
  if ! grep -q "$wanted" <<<"$out"; then
    echo "FAIL: no line matching '$wanted'"
    status=1
  fi
done
exit $status
