#!/usr/bin/env bash
# Prints the lines of product code (src/, python/), of test code (tests/ and
# the fuzz harnesses, not their corpora) and the ratio of the two, which the
# team keeps between a quarter and a third (at most 0.4). Lines are plain
# lines as `wc -l` counts them, blank and comment lines included, of the
# files git tracks or would track (untracked files that are not ignored).
# Usage: bash scripts/loc.sh
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  git ls-files --cached --others --exclude-standard -- "$@" |
    while IFS= read -r file; do [ -f "$file" ] && cat -- "$file"; done | wc -l
}

product=$(count src python)
tests=$(count tests 'fuzz/*.cc' 'fuzz/*.h')
echo "product code (src/, python/):        $product lines"
echo "test code (tests/, fuzz harnesses):  $tests lines"
awk -v t="$tests" -v p="$product" 'BEGIN { printf "ratio test / product:                %.3f\n", t / p }'
