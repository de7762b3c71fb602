#!/usr/bin/env bash
# Sets everything up, dumps the heap of a small real program, imports it and
# prints a report.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/demo.py
