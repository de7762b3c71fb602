#!/usr/bin/env bash
# Installs the built abi3 wheel under the oldest and the newest Python the
# machine has (other than the one that built it) and runs the smoke test.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(ls dist/vossick_analysis-*.whl)
built_with=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')

candidates=()
for minor in 10 11 12 13 14; do
  version="3.$minor"
  [ "$version" = "$built_with" ] && continue
  found=""
  for path in "$HOME"/.pyenv/versions/$version*/bin/python$version /usr/bin/python$version /usr/local/bin/python$version; do
    if [ -x "$path" ]; then found="$path"; break; fi
  done
  [ -n "$found" ] && candidates+=("$found")
done
if [ ${#candidates[@]} -eq 0 ]; then
  echo "SKIPPED: no Python 3.10+ other than $built_with on this machine"
  exit 0
fi
selected=("${candidates[0]}")
[ ${#candidates[@]} -gt 1 ] && selected+=("${candidates[-1]}")
for python in "${selected[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="build/smoke-$version"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" tests/smoke.py
done
