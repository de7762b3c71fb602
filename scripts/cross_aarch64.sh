#!/usr/bin/env bash
# Cross-builds the core and the C++ unit tests for 64-bit Arm Linux with
# Debian's cross compiler and the arm64 LMDB, xxHash and GoogleTest packages
# (multiarch), in build/aarch64, and runs the tests under qemu-user. This
# proves the portable build: no x86-only code is compiled there, and the
# portable paths give the same results. Installs what is missing (as root, or
# through sudo) and only then updates the package lists; safe to run again.
# Prints the time of each step.
# Usage: bash scripts/cross_aarch64.sh [GTEST_FILTER]    (after scripts/setup.sh)
#   e.g. bash scripts/cross_aarch64.sh 'SizeSketch*:CandidateLanes*'
set -euo pipefail
cd "$(dirname "$0")/.."
filter=${1:-*}
build=build/aarch64
sysroot=/usr/aarch64-linux-gnu

timed() {
  local label=$1 start=$SECONDS
  shift
  echo "== aarch64: $label"
  "$@"
  echo "== aarch64: $label took $((SECONDS - start)) s"
}

install_packages() {
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    # The next install sees the arm64 packages missing and updates the lists.
    $sudo dpkg --add-architecture arm64
  fi
  bash scripts/apt_install_missing.sh g++-aarch64-linux-gnu qemu-user pkg-config \
    liblmdb-dev:arm64 libxxhash-dev:arm64 libgtest-dev:arm64
}

configure_and_build() {
  if [ ! -x .venv/bin/cmake ]; then
    echo "no .venv/bin/cmake: run bash scripts/setup.sh first" >&2
    exit 1
  fi
  .venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DVOSSICK_BUILD_TESTS=ON -DVOSSICK_BUILD_MODULE=OFF >/dev/null
  .venv/bin/cmake --build "$build" -j2
  # A host compiler by mistake would make this whole run prove nothing.
  local header
  header=$(aarch64-linux-gnu-readelf -h "$build/core_tests")
  if [[ $header != *"AArch64"* ]]; then
    echo "$build/core_tests is not an aarch64 program" >&2
    exit 1
  fi
}

run_tests() {
  # The shim caps LMDB's map for the emulator's sake (see its source). The
  # loader's search path puts the cross sysroot's C and C++ runtimes first,
  # to match its loader (see cmake/aarch64-linux-gnu.cmake).
  aarch64-linux-gnu-gcc -O2 -shared -fPIC -o "$build/qemu_small_lmdb_map.so" tests/cross/qemu_small_lmdb_map.c
  QEMU_LD_PREFIX="$sysroot" qemu-aarch64 -L "$sysroot" -E LD_LIBRARY_PATH="$sysroot/lib" \
    -E LD_PRELOAD="$PWD/$build/qemu_small_lmdb_map.so" "$build/core_tests" --gtest_brief=1 --gtest_filter="$filter"
}

timed "install the cross toolchain and arm64 libraries" install_packages
timed "configure and build core_tests" configure_and_build
timed "core_tests under qemu-aarch64 (filter $filter)" run_tests
