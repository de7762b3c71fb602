"""A real workload for the retained-size benchmark: mypy checking the
repository's python/, bench/ and examples/ folders (about 400,000 objects),
dumped as it ends. Run it under the dumper:

  .venv/bin/python -m vossick_dump -o bench/data/mypy.jsonl bench/mypy_workload.py
"""
import os

from mypy import api

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
report, errors, status = api.run(
    ["--no-incremental", "--cache-dir", os.devnull] + [os.path.join(ROOT, d) for d in ("python", "bench", "examples")])
print(report.splitlines()[-1] if report else errors)
