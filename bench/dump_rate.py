"""How fast vossick_dump writes a dump, with and without labels.

Two real programs, each dumped in a fresh interpreter right after it built its
state: examples/sample_program.py (about 160 k objects) and mypy checking this
repository's Python packages (a larger real heap, about a million objects;
skipped when mypy is not installed). For each it prints the objects dumped,
the median seconds of `dump_to_path` (a full garbage collection included) and
objects per second (by wall and by CPU time) without and with labels, the labels' cost, the same with
tracemalloc tracing (the `allocated_at` member; tracemalloc also traces the
dump's own allocations), and how long the import (NoEstimates) of the
labelled dump takes against the unlabelled one. Tracing is measured on the
sample program only: under tracemalloc a dump runs many times slower. Runs alternate between the
variants, so that a burst of load falls on both sides of a ratio.

Called by bench/run.py; alone: .venv/bin/python bench/dump_rate.py [--runs N] [--only sample,mypy]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CHILD = r"""
import sys, time
root, program, path, variant = sys.argv[1:5]
sys.path[:0] = [root + "/python", root + "/examples"]
if program == "sample":
    import sample_program
    state = sample_program.build_state()
else:
    from mypy import build, main
    sources, options = main.process_options(["--strict", "--no-incremental", "--cache-dir", "/dev/null",
                                             root + "/python/vossick_dump", root + "/python/vossick_report"])
    state = build.build(sources, options)
import vossick_dump
if variant == "traced":
    import tracemalloc
    tracemalloc.start()
started, cpu_started = time.perf_counter(), time.process_time()
count = vossick_dump.dump_to_path(path, progress=False, labels=variant != "plain")
print(count, time.perf_counter() - started, time.process_time() - cpu_started)
"""

IMPORT_CHILD = r"""
import os, sys, tempfile, time, vossick_analysis as va
with tempfile.TemporaryDirectory() as db:
    explorer = va.HeapDumpExplorer(db)
    started = time.perf_counter()
    with open(sys.argv[1], "rb") as lines:
        explorer.import_lines(lines, va.EstimatorPrecision.NoEstimates)
    print(time.perf_counter() - started)
"""

VARIANTS = ("plain", "labels", "traced")


def dump_once(program, path, variant):
    done = subprocess.run([sys.executable, "-c", CHILD, ROOT, program, path, variant],
                          capture_output=True, text=True, check=True)
    count, seconds, cpu_seconds = done.stdout.split()
    return int(count), float(seconds), float(cpu_seconds)


def import_once(path, build):
    env = dict(os.environ, PYTHONPATH=build) if build else None
    done = subprocess.run([sys.executable, "-c", IMPORT_CHILD, path], capture_output=True, text=True, check=True,
                          env=env)
    return float(done.stdout)


def same_dump_with_and_without_annotations(path, work):
    """The lines of `path` written alike twice, with and without `labels` and `allocated_at`: (with, without)."""
    paths = (os.path.join(work, "annotated.jsonl"), os.path.join(work, "stripped.jsonl"))
    with open(path, "rb") as lines, open(paths[0], "w") as annotated, open(paths[1], "w") as stripped:
        for line in lines:
            record = json.loads(line)
            annotated.write(json.dumps(record, separators=(",", ":")) + "\n")
            record.pop("labels", None)
            record.pop("allocated_at", None)
            stripped.write(json.dumps(record, separators=(",", ":")) + "\n")
    return paths


def import_ratio(path, runs, work, build):
    """Median import seconds of the dump at `path` and of the same lines without annotations, and their ratio."""
    annotated, stripped = same_dump_with_and_without_annotations(path, work)
    with_them = statistics.median(import_once(annotated, build) for _ in range(runs))
    without = statistics.median(import_once(stripped, build) for _ in range(runs))
    for made in (annotated, stripped):
        os.unlink(made)
    return f"{without:.2f} s -> {with_them:.2f} s (x{with_them / without:.2f})"


def has_mypy():
    return subprocess.run([sys.executable, "-c", "import mypy"], capture_output=True).returncode == 0


def bench_dumper(runs, work, build=None, programs=("sample", "mypy")):
    print("\n== dumper: objects per second (median of runs, each in a fresh interpreter)", flush=True)
    for program in programs:
        if program == "mypy" and not has_mypy():
            print("  mypy: skipped (mypy is not installed)")
            continue
        variants = VARIANTS if program == "sample" else VARIANTS[:2]
        paths = {variant: os.path.join(work, f"dump-{program}-{variant}.jsonl") for variant in variants}
        figures = {variant: [] for variant in variants}
        imports = {variant: [] for variant in ("plain", "labels")}
        for _ in range(runs):
            for variant in variants:
                figures[variant].append(dump_once(program, paths[variant], variant))
            for variant in imports:
                imports[variant].append(import_once(paths[variant], build))
        seconds = {variant: statistics.median(s for _, s, _ in figures[variant]) for variant in variants}
        cpu = {variant: statistics.median(c for _, _, c in figures[variant]) for variant in variants}
        counts = {variant: figures[variant][-1][0] for variant in variants}
        line = f"  {program}:"
        for variant in variants:
            line += (f"  {variant} {counts[variant]:,} objects {seconds[variant]:.2f} s "
                     f"{counts[variant] / seconds[variant]:,.0f}/s (CPU {counts[variant] / cpu[variant]:,.0f}/s);")
        print(line, flush=True)
        plain_import, labelled_import = (statistics.median(imports[v]) for v in ("plain", "labels"))
        traced = f" (tracing x{seconds['traced'] / seconds['plain']:.2f})" if "traced" in seconds else ""
        print(f"    labels cost x{seconds['labels'] / seconds['plain']:.2f} of the time without them"
              f" (CPU x{cpu['labels'] / cpu['plain']:.2f}){traced}; dump size "
              f"{os.path.getsize(paths['plain']) / 2**20:.0f} -> {os.path.getsize(paths['labels']) / 2**20:.0f} MiB;"
              f" import (NoEstimates) {plain_import:.2f} s -> {labelled_import:.2f} s with labels"
              f" (x{labelled_import / plain_import:.2f})", flush=True)
        for variant in ("labels", "traced") if "traced" in paths else ("labels",):
            print(f"    import (NoEstimates) of the {variant} dump without and with its annotations: "
                  f"{import_ratio(paths[variant], runs, work, build)}", flush=True)
        for path in paths.values():
            os.unlink(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--only", default="sample,mypy")
    parser.add_argument("--build", default=None, help="directory holding the vossick_analysis module to import with")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="vossick-dump-bench-")
    try:
        bench_dumper(args.runs, work, args.build, args.only.split(","))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
