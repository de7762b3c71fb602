#!/usr/bin/env bash
# Sets everything up, dumps the heap of a small real program, imports it and
# prints a report; the database stays in build/demo/db for the web viewer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
rm -rf build/demo
.venv/bin/python examples/demo.py build/demo
