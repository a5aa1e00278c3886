#!/usr/bin/env bash
# Installs what the tests need (Debian packages, when missing), builds in
# build/ (or $BUILD_DIR) and runs every test. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")"

packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v g++ >/dev/null || packages+=(g++)
command -v pkg-config >/dev/null || packages+=(pkg-config)
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
# galaxy-check's picture: PLplot's C++ binding and its PNG driver.
[ -f /usr/include/plplot/plstream.h ] || packages+=(libplplot-dev)
dpkg -s plplot-driver-cairo >/dev/null 2>&1 || packages+=(plplot-driver-cairo)
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
