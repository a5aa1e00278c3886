#!/usr/bin/env bash
# Installs what the tests need (Debian packages, when missing), builds in
# build/ and runs every test. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")"

packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v g++ >/dev/null || packages+=(g++)
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
if [ ${#packages[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -q
  $sudo apt-get install -y -q "${packages[@]}"
fi

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DGALAXY_BUILD_TESTS=ON "$@"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$(nproc)"
