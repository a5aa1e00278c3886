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
# --seed: Random123's counter-based generators (header-only).
[ -f /usr/include/Random123/philox.h ] || packages+=(librandom123-dev)
# --format hdf5: the HDF5 C library; its real client in the tests (h5py,
# for Debian's python3) and h5dump.
[ -f /usr/include/hdf5/serial/hdf5.h ] || packages+=(libhdf5-dev)
dpkg -s python3-h5py >/dev/null 2>&1 || packages+=(python3-h5py)
# The Python module: pybind11 and the headers of Debian's python3.
[ -f /usr/include/pybind11/pybind11.h ] || packages+=(pybind11-dev)
dpkg -s python3-dev >/dev/null 2>&1 || packages+=(python3-dev)
command -v h5dump >/dev/null || packages+=(hdf5-tools)
# Galaxy files (TOML): toml++.
[ -f /usr/include/toml++/toml.h ] || packages+=(libtomlplusplus-dev)
# galaxy-check's options: CLI11 (header-only).
[ -f /usr/include/CLI/CLI.hpp ] || packages+=(libcli11-dev)
# galaxy-ic-mpi: Open MPI and the parallel flavour of HDF5.
[ -f /usr/include/x86_64-linux-gnu/mpi.h ] || [ -f /usr/lib/x86_64-linux-gnu/openmpi/include/mpi.h ] ||
  packages+=(libopenmpi-dev)
command -v mpirun >/dev/null || packages+=(openmpi-bin)
[ -f /usr/include/hdf5/openmpi/hdf5.h ] || packages+=(libhdf5-openmpi-dev)
if [ ${#packages[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  # Another apt-get (an unattended upgrade) may hold the lock for a while.
  lock=(-o DPkg::Lock::Timeout=600)
  $sudo apt-get "${lock[@]}" update -q
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get "${lock[@]}" install -y -q \
    --no-install-recommends "${packages[@]}"
fi

build=${BUILD_DIR:-build}
# Everything was installed above: a feature the build still lacks fails its
# tests instead of skipping them.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DGALAXY_BUILD_TESTS=ON \
  -DGALAXY_REQUIRE_FEATURES=ON "$@"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$(nproc)"
