#!/usr/bin/env bash
# Builds the fuzz preset and runs every target for SECONDS (default 60),
# printing executions and findings: scripts/fuzz.sh [seconds]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(registry_file_fuzz stack_event_fuzz scenario_fuzz capture_fuzz)
cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}" FakeStack || exit 1
bin=build/fuzz/bin
export TAVRINEL_MODULE_DIR=$PWD/$bin
failed=0
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  log=build/fuzz/$target.log
  "$bin/$target" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/"$target"- "$corpus" >"$log" 2>&1
  rc=$?
  runs=$(grep -Eo 'Done [0-9]+ runs' "$log" | grep -Eo '[0-9]+' | tail -1)
  if [ $rc -eq 0 ]; then
    echo "$target: ${runs:-?} executions, no findings"
  else
    echo "$target: FINDING (exit $rc), see $log"; failed=1
  fi
done
exit $failed
