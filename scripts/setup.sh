#!/usr/bin/env bash
# Installs the Debian packages the build needs, if any is missing:
#   scripts/setup.sh [preset ...]
# The "windows" preset adds the mingw-w64 cross compiler and Wine.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev pkg-config
          libbenchmark-dev libliquid-dev librtlsdr-dev libncurses-dev python3 tmux valgrind clang-format
          clang-tidy)
for preset in "$@"; do
  [ "$preset" = windows ] && packages+=(g++-mingw-w64-x86-64-posix wine64)
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${missing[@]}"
fi
