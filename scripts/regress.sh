#!/usr/bin/env bash
# regress.sh [--regenerate] [--build DIR] [SCENARIO...]
#
# Golden-file regression runs: plays every scenario of
# emulator/fmstack/scenarios/regress (or the ones named) through `phone --headless`
# with tests/e2e/regress_replay, and diffs the sentence stream of the port
# against SCENARIO.chk beside it. A scenario without its .chk fails.
# --regenerate rewrites the .chk files from this build instead: do it on
# purpose, when a change of output is intended, and review the diff.
# --build DIR: the build folder holding bin/phone and testbin/regress_replay
# (default build/default).
set -uo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build/default"
regenerate=0
scenarios=()
while [ $# -gt 0 ]; do
  case "$1" in
    --regenerate) regenerate=1 ;;
    --build) shift; build="${1:?--build needs a folder}" ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "regress: unknown option $1" >&2; exit 2 ;;
    *) scenarios+=("$1") ;;
  esac
  shift
done
if [ ${#scenarios[@]} -eq 0 ]; then
  for f in "$here"/emulator/fmstack/scenarios/regress/*.scn; do
    [ -e "$f" ] && scenarios+=("$f")
  done
fi
runner="$build/testbin/regress_replay"
phone="$build/bin/phone"
for program in "$runner" "$phone"; do
  if [ ! -x "$program" ]; then
    echo "regress: $program is not built (cmake --build $build --target regress_replay phone)" >&2
    exit 2
  fi
done
if [ ${#scenarios[@]} -eq 0 ]; then
  echo "regress: no scenarios" >&2
  exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/regress-XXXXXX")"
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
for scn in "${scenarios[@]}"; do
  name="$(basename "$scn")"
  out="$work/$name.out"
  if ! "$runner" --phone "$phone" --scenario "$scn" >"$out" 2>"$work/$name.err"; then
    echo "FAIL $name: the run failed"
    sed 's/^/  /' "$work/$name.err" | head -40
    failed=$((failed + 1))
    continue
  fi
  if [ $regenerate -eq 1 ]; then
    cp "$out" "$scn.chk"
    echo "wrote $name.chk ($(wc -l <"$out") lines)"
    passed=$((passed + 1))
  elif [ ! -f "$scn.chk" ]; then
    echo "FAIL $name: no expected output $name.chk (scripts/regress.sh --regenerate writes it)"
    failed=$((failed + 1))
  elif diff -u --label "$name.chk" --label "$name (this run)" "$scn.chk" "$out" >"$work/$name.diff"; then
    echo "ok   $name ($(wc -l <"$out") lines)"
    passed=$((passed + 1))
  else
    echo "FAIL $name: the output differs from $name.chk"
    head -60 "$work/$name.diff" | sed 's/^/  /'
    failed=$((failed + 1))
  fi
done
echo "regress: $passed passed, $failed failed"
[ $failed -eq 0 ]
