#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan + UBSan) and runs every
# target for SECONDS (default 60), each starting from its seed corpus
# fuzz/corpus/TARGET (copied into the working corpus build/fuzz/corpus/TARGET,
# which keeps growing between runs). Prints executions and findings per
# target; exits non-zero when any target found something.
#   scripts/fuzz.sh [SECONDS] [TARGET ...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] &&
  targets=(port_write_fuzz registry_file_fuzz stack_event_fuzz scenario_fuzz capture_fuzz
           tmcview_fuzz)

child=""
cleanup() {
  if [ -n "$child" ]; then
    kill "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

scripts/setup.sh
start=$SECONDS
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}" FakeStack test_bin_links
echo "fuzz: build took $((SECONDS - start)) s"

bin=build/fuzz/testbin
export TAVRINEL_MODULE_DIR=$PWD/$bin
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  [ -d "fuzz/corpus/$target" ] && cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  log=build/fuzz/$target.log
  rm -f build/fuzz/"$target"-crash-* build/fuzz/"$target"-leak-* \
    build/fuzz/"$target"-timeout-* build/fuzz/"$target"-oom-*
  "$bin/$target" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -timeout=25 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/"$target"- "$corpus" >"$log" 2>&1 &
  child=$!
  rc=0
  wait "$child" || rc=$?
  child=""
  runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' | tail -1 || true)
  [ -z "$runs" ] && runs=$(grep -Eo '^#[0-9]+' "$log" | tr -d '#' | tail -1 || true)
  units=$(find "$corpus" -type f | wc -l)
  artifacts=$(ls build/fuzz/"$target"-* 2>/dev/null | grep -v '\.log$' || true)
  if [ $rc -eq 0 ] && [ -z "$artifacts" ]; then
    printf '%-20s %9s executions, corpus %5s, no findings\n' "$target" "${runs:-?}" "$units"
  else
    printf '%-20s %9s executions, FINDING (exit %s): %s, log %s\n' "$target" "${runs:-?}" \
      "$rc" "${artifacts:-no artifact}" "$log"
    grep -E 'ERROR|SUMMARY|port_write_fuzz:|runtime error' "$log" | head -5 | sed 's/^/    /' || true
    failed=1
  fi
done
echo "fuzz: total $((SECONDS - start)) s"
exit $failed
