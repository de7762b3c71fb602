#!/usr/bin/env bash
# Formats the C++ sources (src/, tests/, fuzz/, bench/) in place with the
# newest clang-format found (installing Debian's if there is none) and the
# style in .clang-format. With --check, changes nothing: lists each file that
# would change with the number of its lines that would, and fails if any.
# Usage: bash scripts/format.sh [--check] [FILE...]     (default: every C++ source)
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi
tool=$(bash scripts/newest_tool.sh clang-format) || {
  bash scripts/apt_install_missing.sh clang-format
  tool=$(bash scripts/newest_tool.sh clang-format)
}
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.cc' '*.h' '*.c' | grep -E '^(src|tests|fuzz|bench)/')
fi

if [ $check -eq 0 ]; then
  "$tool" -i "${files[@]}"
  exit 0
fi
changed_files=0
changed_lines=0
for file in "${files[@]}"; do
  lines=$("$tool" "$file" | diff "$file" - | grep -c '^<' || true)
  if [ "$lines" -gt 0 ]; then
    echo "$file: $lines lines"
    changed_files=$((changed_files + 1))
    changed_lines=$((changed_lines + lines))
  fi
done
echo "$("$tool" --version | head -n 1): $changed_files of ${#files[@]} files, $changed_lines lines would change"
[ $changed_files -eq 0 ]
