#!/usr/bin/env bash
# Mutation testing: shows that the fast tests catch real faults. Each record
# of scripts/mutants.txt (file|original line|replacement line|what it breaks)
# is applied alone, by exact match of its original line; the module and the
# C++ tests are rebuilt incrementally in build/mutants, and the fast tests
# run: core_tests (for faults in src/), then the Python tests without the
# slow test_robustness_* files. A fault is killed when a test fails (or hangs
# past the time limit), and survives when every test passes. A record whose
# original line is not found exactly once, or whose fault does not compile,
# is an error of the list, not a kill. The file is restored after each fault,
# also when the script is stopped. Prints a table of faults with the test
# that killed each; exits 1 if any fault survived, 2 on errors of the list or
# a failing baseline. Runs outside CI; a full run takes about an hour.
# Usage: bash scripts/mutants.sh [NUMBER...]   (after scripts/setup.sh; numbers pick records)
set -euo pipefail
cd "$(dirname "$0")/.."
list=scripts/mutants.txt
build=build/mutants
python=.venv/bin/python
logs="$build/logs"

# The records: parsing, the check that each applies exactly once, applying one.
tool() {
  "$python" - "$@" <<'EOF'
import re, sys

def records(path):
    out = []
    for raw in open(path, encoding="utf-8"):
        text = raw.rstrip("\n")
        if not text.strip() or text.lstrip().startswith("#"):
            continue
        fields = [f.replace("\\|", "|") for f in re.split(r"(?<!\\)\|", text)]
        if len(fields) != 4:
            sys.exit(f"mutants: not a record of four fields: {text}")
        out.append(fields)
    return out

def matches(lines, original):
    return [i for i, line in enumerate(lines) if line.strip() == original.strip()]

command, path = sys.argv[1], sys.argv[2]
recs = records(path)
if command == "count":
    print(len(recs))
elif command == "check":
    bad = 0
    for n, (file, original, replacement, what) in enumerate(recs, 1):
        try:
            lines = open(file, encoding="utf-8").read().split("\n")
        except OSError as error:
            print(f"mutant {n}: {error}")
            bad += 1
            continue
        found = len(matches(lines, original))
        if found != 1:
            print(f"mutant {n} ({file}): the original line is found {found} times: {original.strip()}")
            bad += 1
    sys.exit(1 if bad else 0)
elif command == "field":
    print(recs[int(sys.argv[3]) - 1][int(sys.argv[4])])
elif command == "apply":
    file, original, replacement, _ = recs[int(sys.argv[3]) - 1]
    lines = open(file, encoding="utf-8").read().split("\n")
    (at,) = matches(lines, original)
    indent = lines[at][: len(lines[at]) - len(lines[at].lstrip())]
    lines[at] = indent + replacement.strip()
    open(file, "w", encoding="utf-8").write("\n".join(lines))
EOF
}

count=$(tool count "$list")
if ! tool check "$list"; then
  echo "mutants: fix the records above (re-point them at the moved code)"
  exit 2
fi
if [ $# -gt 0 ]; then selected=("$@"); else selected=($(seq 1 "$count")); fi

.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=Release \
  -DVOSSICK_BUILD_TESTS=ON -DVOSSICK_BUILD_MODULE=ON -DPython_EXECUTABLE="$PWD/$python" >/dev/null
mkdir -p "$logs"

build_all() { .venv/bin/cmake --build "$build" -j2 >"$1" 2>&1; }

# Runs the fast tests; prints what failed first (nothing when all pass).
fast_tests() {
  local log=$1 cpp=$2
  if [ "$cpp" = yes ]; then
    if ! timeout 600 "$build/core_tests" --gtest_brief=1 --gtest_fail_fast >>"$log" 2>&1; then
      local failed
      failed=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' "$log" | head -n 1)
      echo "core_tests ${failed:-(crashed or timed out)}"
      return
    fi
  fi
  if ! PYTHONPATH="$PWD/$build:$PWD/python" timeout 900 "$python" -m pytest -x -q -p no:cacheprovider \
      tests/python --ignore-glob='*/test_robustness_*' >>"$log" 2>&1; then
    local failed
    failed=$(sed -n 's/^\(FAILED\|ERROR\) \([^ ]*\).*/\2/p' "$log" | head -n 1)
    echo "${failed:-pytest (crashed or timed out)}"
  fi
}

echo "== baseline: build and fast tests without any fault"
if ! build_all "$logs/baseline.log"; then
  echo "mutants: the unchanged tree does not build; see $logs/baseline.log"
  exit 2
fi
baseline=$(fast_tests "$logs/baseline.log" yes)
if [ -n "$baseline" ]; then
  echo "mutants: the fast tests fail without any fault ($baseline); see $logs/baseline.log"
  exit 2
fi

backup=""
target=""
restore() { if [ -n "$backup" ]; then cp "$backup" "$target"; rm -f "$backup"; backup=""; fi; }
trap restore EXIT INT TERM

results=()
survived=0
errors=0
for n in "${selected[@]}"; do
  target=$(tool field "$list" "$n" 0)
  what=$(tool field "$list" "$n" 3)
  log="$logs/$n.log"
  : >"$log"
  backup=$(mktemp)
  cp "$target" "$backup"
  tool apply "$list" "$n"
  cpp=no
  case "$target" in src/*) cpp=yes ;; esac
  started=$SECONDS
  # Built for every fault: after a fault in src/, the restored file must be
  # rebuilt before a fault elsewhere is tested (nothing to do otherwise).
  if ! build_all "$log"; then
    verdict="ERROR"
    by="does not compile (see $log)"
    errors=$((errors + 1))
  else
    by=$(fast_tests "$log" "$cpp")
    if [ -n "$by" ]; then verdict="killed"; else verdict="SURVIVED"; by="-"; survived=$((survived + 1)); fi
  fi
  restore
  row=$(printf '%3s  %-8s  %-45s  %s\n      %s' "$n" "$verdict" "$target" "$what" "by $by")
  echo "$row  ($((SECONDS - started)) s)"
  results+=("$row")
done

echo
echo "== mutants: ${#selected[@]} run, $((${#selected[@]} - survived - errors)) killed, $survived survived, $errors errors"
printf '%s\n' "${results[@]}"
[ "$errors" -eq 0 ] || exit 2
[ "$survived" -eq 0 ] || exit 1
