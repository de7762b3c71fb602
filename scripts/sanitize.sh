#!/usr/bin/env bash
# Builds the core, the C++ tests and the Python module with AddressSanitizer
# and UndefinedBehaviorSanitizer in build/sanitize, with the newest g++ found,
# then runs core_tests and the Python tests under them. The module is loaded
# into the ordinary (uninstrumented) CPython of .venv, so that compiler's
# sanitizer runtimes are preloaded;
# leak checking is off for the Python run because the interpreter itself
# keeps memory until exit. Any sanitizer report fails the run.
# Usage: bash scripts/sanitize.sh [pytest arguments]   (after scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/sanitize
cxx=$(bash scripts/newest_tool.sh g++)
echo "== sanitizers with $("$cxx" --version | head -n 1)"
# A build configured with another compiler is configured afresh.
grep -qsx "CMAKE_CXX_COMPILER:[A-Z]*=$cxx" "$build/CMakeCache.txt" ||
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"

.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DVOSSICK_SANITIZE=ON -DVOSSICK_BUILD_TESTS=ON \
  -DVOSSICK_BUILD_MODULE=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
.venv/bin/cmake --build "$build" -j2

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== C++ unit tests under ASan+UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 "$build/core_tests" --gtest_brief=1

echo "== Python tests under ASan+UBSan"
asan=$("$cxx" -print-file-name=libasan.so)
ubsan=$("$cxx" -print-file-name=libubsan.so)
LD_PRELOAD="$asan $ubsan" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYTHONMALLOC=malloc \
  PYTHONPATH="$PWD/$build" .venv/bin/python -m pytest -q -p no:cacheprovider tests/python "$@"
