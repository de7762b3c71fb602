"""Import and post-import benchmark: prints figures, asserts nothing.

For each dump: import with NoEstimates (records/s, seconds, peak anonymous
memory), then the post-import pass alone at each precision, run through an
empty import into the same database.

Usage: python bench/import_bench.py [--records N] [--skip-real] [--precisions Low,Exact]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import synthetic_dump  # noqa: E402

CHILD = r"""
import sys, time, vossick_analysis as va
db, dump, precision = sys.argv[1], sys.argv[2], sys.argv[3]
explorer = va.HeapDumpExplorer(db)
started = time.perf_counter()
if dump == "-":
    explorer.import_lines([], getattr(va.EstimatorPrecision, precision))
else:
    with open(dump, "rb") as lines:
        explorer.import_lines(lines, getattr(va.EstimatorPrecision, precision))
print(time.perf_counter() - started)
"""


def rss_anon_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for row in status:
                if row.startswith("RssAnon:"):
                    return int(row.split()[1])
    except OSError:
        pass
    return 0


def run_child(db, dump, precision):
    """Runs one import in a fresh interpreter; returns (seconds, peak RssAnon MiB)."""
    proc = subprocess.Popen([sys.executable, "-c", CHILD, db, dump, precision], stdout=subprocess.PIPE, text=True)
    peak = 0
    done = threading.Event()

    def sample():
        nonlocal peak
        while not done.is_set():
            peak = max(peak, rss_anon_kib(proc.pid))
            time.sleep(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, _ = proc.communicate()
    done.set()
    sampler.join()
    if proc.returncode != 0:
        raise SystemExit(f"child failed for {dump} {precision}")
    return float(out.strip().splitlines()[-1]), peak / 1024


def count_lines(path):
    with open(path, "rb") as f:
        return sum(1 for _ in f)


def bench_dump(index, name, path, precisions, work):
    n = count_lines(path)
    size_mb = os.path.getsize(path) / 1e6
    db = os.path.join(work, f"db-{index}")
    shutil.rmtree(db, ignore_errors=True)
    os.mkdir(db)
    seconds, peak = run_child(db, path, "NoEstimates")
    print(f"{name}: {n} records, {size_mb:.0f} MB")
    print(f"  import (NoEstimates)  {seconds:7.2f} s  {n / seconds:10.0f} records/s  peak RssAnon {peak:7.1f} MiB")
    for precision in precisions:
        seconds, peak = run_child(db, "-", precision)
        print(f"  pass   {precision:<13}  {seconds:7.2f} s  {n / seconds:10.0f} objects/s  peak RssAnon {peak:7.1f} MiB")
    shutil.rmtree(db, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--skip-real", action="store_true")
    parser.add_argument("--precisions", default="Low,Medium,High,Exact")
    parser.add_argument("--workdir", default=None)
    args = parser.parse_args()
    precisions = [p for p in args.precisions.split(",") if p]
    work = args.workdir or tempfile.mkdtemp(prefix="vossick-bench-")
    try:
        dumps = []
        if not args.skip_real:
            real = os.path.join(work, "real.jsonl")
            subprocess.run([sys.executable, os.path.join(HERE, "..", "examples", "sample_program.py"), real],
                           check=True, stdout=subprocess.DEVNULL)
            dumps.append(("real (examples/sample_program.py)", real))
        synthetic = os.path.join(work, "synthetic.jsonl")
        synthetic_dump.write(synthetic, synthetic_dump.python_shaped(args.records))
        dumps.append((f"synthetic python-shaped {args.records}", synthetic))
        chain = os.path.join(work, "chain.jsonl")
        synthetic_dump.write(chain, synthetic_dump.chain(args.records))
        dumps.append((f"chain {args.records} deep", chain))
        cycle = os.path.join(work, "cycle.jsonl")
        synthetic_dump.write(cycle, synthetic_dump.single_cycle(args.records))
        dumps.append((f"single SCC of {args.records}", cycle))
        for index, (name, path) in enumerate(dumps):
            bench_dump(index, name, path, precisions, work)
    finally:
        if args.workdir is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
