#!/usr/bin/env bash
# Runs every test on a fresh or prepared machine: sets up, builds the wheel,
# checks its stable ABI, runs the C++ unit tests, the Python tests, and a smoke
# test of the same wheel under the oldest and newest other Pythons available,
# then the C++ unit tests cross-built for aarch64 under qemu-user
# (scripts/cross_aarch64.sh), the C++ and Python tests again under ASan+UBSan
# (scripts/sanitize.sh) and a short run of each fuzzer (scripts/fuzz.sh; a
# long run: bash scripts/fuzz.sh 3600).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== abi3audit"
.venv/bin/abi3audit --strict --report dist/vossick_analysis-*.whl

echo "== C++ unit tests"
.venv/bin/cmake -S . -B build/tests -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DVOSSICK_BUILD_TESTS=ON -DVOSSICK_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
.venv/bin/cmake --build build/tests -j2
.venv/bin/ctest --test-dir build/tests --output-on-failure -j2

echo "== Python tests"
.venv/bin/python -m pytest -q tests/python

echo "== the same wheel under other Pythons"
bash scripts/smoke_other_pythons.sh

echo "== C++ unit tests on aarch64 (cross-built, under qemu-user)"
bash scripts/cross_aarch64.sh

echo "== sanitizers"
# The browser, dumper and typing tests run no C++ of their own beyond what the
# other tests cover, and are slow under the sanitizers' runtimes: left out here.
bash scripts/sanitize.sh --ignore=tests/python/test_viewer.py --ignore=tests/python/test_typing.py \
  --ignore=tests/python/test_dumper.py --ignore=tests/python/test_dumper_leaks.py \
  --ignore=tests/python/test_dumper_references.py

echo "== fuzzing"
bash scripts/fuzz.sh 30
