#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, ASan and UBSan in
# build/fuzz and runs each for SECONDS (default 30) from the seed corpus in
# fuzz/corpus/<target>. New inputs go to build/fuzz/corpus/<target>, crashes
# to build/fuzz/artifacts/. Prints executions and executions per second.
# Usage: bash scripts/fuzz.sh [SECONDS]       e.g. a long run: bash scripts/fuzz.sh 3600
# Reproduce a crash: build/fuzz/<target> build/fuzz/artifacts/<file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build/fuzz

# clang and its fuzzer runtime are needed only here, so they are installed
# here rather than by setup.sh: the newest clang++ found, else Debian's
# default clang, and that version's libFuzzer and sanitizer runtimes
# (libclang-rt-N-dev; some Debian clang versions ship them in
# libclang-common-N-dev instead) unless a fuzzer already links.
clangxx=$(bash scripts/newest_tool.sh clang++) || {
  bash scripts/apt_install_missing.sh clang
  clangxx=$(bash scripts/newest_tool.sh clang++)
}
fuzzer_links() {
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
    "$clangxx" -fsanitize=fuzzer,address,undefined -x c++ - -o /dev/null 2>/dev/null
}
if ! fuzzer_links; then
  major=$("$clangxx" --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1)
  runtime=libclang-rt-$major-dev
  apt-cache show "$runtime" >/dev/null 2>&1 || runtime=libclang-common-$major-dev
  bash scripts/apt_install_missing.sh "$runtime"
fi
echo "== fuzzing with $("$clangxx" --version | head -n 1)"
# A build configured with another compiler (one since removed, say) is
# configured afresh; the corpus and the artifacts stay.
grep -qsx "CMAKE_CXX_COMPILER:[A-Z]*=$clangxx" "$build/CMakeCache.txt" ||
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"

.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_CXX_COMPILER="$clangxx" -DCMAKE_BUILD_TYPE=Release -DVOSSICK_SANITIZE=ON \
  -DVOSSICK_BUILD_FUZZERS=ON -DVOSSICK_BUILD_MODULE=OFF -DVOSSICK_BUILD_TESTS=OFF >/dev/null
.venv/bin/cmake --build "$build" -j2

export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for source in fuzz/*_fuzzer.cc; do
  target=$(basename "$source" .cc)
  mkdir -p "$build/corpus/$target" "$build/artifacts"
  echo "== fuzzing $target for ${seconds}s"
  log="$build/$target.log"
  if ! "$build/$target" "$build/corpus/$target" "fuzz/corpus/$target" -max_total_time="$seconds" \
      -timeout=20 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAILED: $target found a fault; see $log and $build/artifacts/"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "$target: $runs inputs, $rate execs/s, corpus $(ls "$build/corpus/$target" | wc -l) files"
done
