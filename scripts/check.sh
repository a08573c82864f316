#!/usr/bin/env bash
# The code's quality gates, each failing the run:
#   scripts/check.sh [format|tidy ...]   (default: both)
# format: every C++ source and header as .clang-format has it (clang-format).
# tidy:   the bug-finding checks of .clang-tidy over every source compiled in
#         the default preset (built first, for its compile_commands.json).
set -euo pipefail
cd "$(dirname "$0")/.."
gates=("$@")
[ ${#gates[@]} -eq 0 ] && gates=(format tidy)
failed=0
for gate in "${gates[@]}"; do
  case $gate in
  format)
    echo "=== check: format"
    if ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror; then
      echo "check: the files above drift from .clang-format (clang-format -i FILE mends them)" >&2
      failed=1
    fi
    ;;
  tidy)
    echo "=== check: clang-tidy"
    [ -f build/default/compile_commands.json ] || scripts/build.sh default
    start=$SECONDS
    # Only the project's own sources; generated ones (resource tables) are left out.
    files=$(git ls-files '*.cpp' | sed "s|^|$PWD/|" | tr '\n' ' ')
    log=build/clang-tidy.log
    if ! run-clang-tidy -p build/default -j "$(nproc)" -quiet $files >"$log" 2>&1; then
      grep -E '(warning|error): ' "$log" | sort -u >&2 || tail -n 30 "$log" >&2
      echo "check: clang-tidy found the above (full output in $log)" >&2
      failed=1
    fi
    echo "check: clang-tidy took $((SECONDS - start)) s"
    ;;
  *)
    echo "check: no gate named $gate (format, tidy)" >&2
    exit 2
    ;;
  esac
done
exit $failed
