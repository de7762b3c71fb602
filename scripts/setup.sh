#!/usr/bin/env bash
# Installs everything a fresh machine lacks: the system libraries, a virtual
# environment in .venv with the build and test tools, and the module itself.
# Safe to run again: it only does what is missing, then rebuilds the module.
set -euo pipefail
cd "$(dirname "$0")/.."

# chromium and its driver run the viewer's browser tests; gdb attaches the dumper to a running process.
bash scripts/apt_install_missing.sh liblmdb-dev libxxhash-dev libgtest-dev pkg-config g++ python3-venv \
  chromium chromium-driver gdb

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "== creating .venv with $($PYTHON --version)"
  "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "cmake>=3.20" ninja pytest abi3audit lmdb mypy selenium

echo "== building the wheel"
rm -rf dist
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w dist .
.venv/bin/python -m pip install -q --force-reinstall --no-deps dist/vossick_analysis-*.whl
# The viewer extra's dependencies, named by the wheel itself (installed above without them).
.venv/bin/python -m pip install -q "$(ls dist/vossick_analysis-*.whl)[viewer]"
echo "== installed $(ls dist/*.whl)"
