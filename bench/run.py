"""The benchmark suite: import and post-import pass against LMDB's own floor.

Prints figures and never fails on a target. For each dump it runs, on the
same file:
  - storage_floor (bench/storage_floor.cc): LMDB alone doing the import's puts
    and the pass's reads and writes, with everything pre-encoded;
  - the module: import_lines(file in binary mode, NoEstimates) into a fresh
    environment, then the post-import pass alone at Exact, High, Medium and
    Low, each on its own copy of the imported environment;
and prints records/s, seconds, module/floor ratios, peak RssAnon growth
(sampled from /proc, so the mapped file does not count) against a stated
budget, and the relative error of Low/Medium/High against Exact. Beside the
Exact pass, on another copy and in the same run, compute_retained_sizes:
its time against the Exact pass's and its RssAnon growth against its own
budget. Then it times queries and the web viewer's pages (bench/page_times.py)
on the largest dump; --viewer-db DB_DIR times the pages over a database of
your own too. First it measures the dumper itself (bench/dump_rate.py):
objects per second with and without labels.

Build first (module and C++ benchmarks, in their own build directory):
  cmake -S . -B build/bench -G Ninja -DVOSSICK_BUILD_MODULE=ON -DVOSSICK_BUILD_BENCH=ON
  cmake --build build/bench -j2
Then:
  .venv/bin/python bench/run.py [--quick] [--runs N] [--build build/bench]
--quick leaves out the 10 M-record dump and runs everything once.
--dump PATH adds a dump of your own (a real heap of a large process).
--compare BEFORE AFTER times the comparison of two dumps of one process
(get_new_objects, get_growth_points, compare_type_summaries) against one
cursor pass over both `primary` databases (bench/primary_pass.cc); with
--only compare it runs alone.
"""
import argparse
import array
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import dump_rate  # noqa: E402
import synthetic_dump  # noqa: E402

PRECISIONS = ["Exact", "High", "Medium", "Low"]  # Exact first: the others are compared with it
SKETCH_SLOTS = {"High": 127, "Medium": 31, "Low": 7}

# The pass's memory budget above what the floor's own transaction needs.
# Per node: the traversal's bookkeeping slot (16 bytes) at the map's lowest
# load (3/8) while it doubles with old and new tables alive (64 bytes), and
# 8 bytes on the Tarjan stack. Per SCC: its stored value (a sketch's 2K
# bytes, or for Exact a handle plus the radix-tree nodes the new SCC adds:
# a path of up to 8 nodes of 96 bytes, with room for what merging its
# successors' trees builds). Per level of the
# depth-first path (bounded by the Tarjan stack): one frame (its size as
# built, printed by storage_floor) and 160 bytes for its successor list.
# Plus the writes, all held until the traversal ends: 24 bytes per object
# (id, estimate, emit order, type), and for filing them in the subtree-size
# index 8 more per object; the traversal's own memory is released before
# that. A fallback to key-ordered batches adds what one batch holds (65536
# updates, their index entries and at most 16 MiB of rewritten records):
# about 22 MiB.
# Plus a fixed 48 MiB for the interpreter and allocator slack (the import's
# own batch, at most 16 MiB, fits in it).
BUDGET_PER_NODE = 72 + 24
BUDGET_PER_LEVEL_EXTRA = 160
BUDGET_PER_SCC = {"Exact": 8 + 8 * 112, "High": 2 * 127, "Medium": 2 * 31 + 2, "Low": 2 * 7 + 2}
BUDGET_FIXED_MIB = 48
BUDGET_BATCH_MIB = 24
# The import's sorted runs into an empty environment (BatchLimits::run_bytes).
RUN_MIB = 256
# compute_retained_sizes: the whole growth, LMDB's dirty pages included.
RETAINED_BUDGET_PER_OBJECT = 64
RETAINED_BUDGET_PER_REFERENCE = 8

CHILD = r"""
import sys, time, vossick_analysis as va
def rss_anon():
    with open("/proc/self/status") as status:
        for row in status:
            if row.startswith("RssAnon:"):
                return int(row.split()[1])
db, dump, precision = sys.argv[1], sys.argv[2], sys.argv[3]
explorer = va.HeapDumpExplorer(db)
print("baseline", rss_anon(), flush=True)
started, cpu_started = time.perf_counter(), time.process_time()
if precision == "Retained":
    explorer.compute_retained_sizes()
elif dump == "-":
    explorer.import_lines([], getattr(va.EstimatorPrecision, precision))
else:
    with open(dump, "rb") as lines:
        explorer.import_lines(lines, getattr(va.EstimatorPrecision, precision))
print("seconds", time.perf_counter() - started, flush=True)
print("cpu_seconds", time.process_time() - cpu_started, flush=True)
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


def temporary_bytes(pid):
    """Bytes of the import's temporary files (unlinked, so seen only through
    the process's open descriptors)."""
    total = 0
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            path = f"/proc/{pid}/fd/{fd}"
            try:
                if "vossick-import-" in os.readlink(path):
                    total += os.stat(path).st_size
            except OSError:
                pass
    except OSError:
        pass
    return total


PEAK_TEMPORARY = {}  # pid -> the most temporary bytes sampled


def sampled(args, env=None):
    """Runs a child; returns (stdout, peak RssAnon KiB sampled every 10 ms).
    The peak of its temporary files is left in PEAK_TEMPORARY["last"]."""
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, env=env)
    peak = 0
    done = threading.Event()
    PEAK_TEMPORARY["last"] = 0

    def sample():
        nonlocal peak
        while not done.is_set():
            peak = max(peak, rss_anon_kib(proc.pid))
            PEAK_TEMPORARY["last"] = max(PEAK_TEMPORARY["last"], temporary_bytes(proc.pid))
            time.sleep(0.01)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, _ = proc.communicate()
    done.set()
    sampler.join()
    if proc.returncode != 0:
        raise RuntimeError(f"{args[0]} failed ({proc.returncode})")
    return out, peak


def settle():
    """Writes back what earlier runs left dirty in the page cache, so that no
    run pays for the write-back of the one before it."""
    os.sync()


def module_run(build, db, dump, precision):
    """One import_lines call (compute_retained_sizes for "Retained") in a fresh interpreter:
    (seconds, CPU seconds, RssAnon growth MiB)."""
    settle()
    env = dict(os.environ, PYTHONPATH=build)
    out, peak = sampled([sys.executable, "-c", CHILD, db, dump, precision], env)
    figures = dict(line.split(None, 1) for line in out.splitlines() if line.strip())
    baseline = int(figures["baseline"])
    return (float(figures["seconds"]), float(figures["cpu_seconds"]), max(0, peak - baseline) / 1024,
            PEAK_TEMPORARY["last"], data_file_bytes(db))


def data_file_bytes(db):
    return os.path.getsize(os.path.join(db, "data.mdb"))


def floor_run(build, dump, work):
    db = os.path.join(work, "floor-db")
    shutil.rmtree(db, ignore_errors=True)
    os.mkdir(db)
    settle()
    out, _ = sampled([os.path.join(build, "storage_floor"), dump, db])
    shutil.rmtree(db, ignore_errors=True)
    figures = {}
    for line in out.splitlines():
        if line.strip():
            key, value = line.split()
            try:
                figures[key] = float(value)
            except ValueError:
                figures[key] = value
    return figures


def summarise(runs):
    """Median seconds and CPU seconds, and the largest RssAnon growth, of module_run results."""
    return (statistics.median(run[0] for run in runs), statistics.median(run[1] for run in runs),
            max(run[2] for run in runs))


def median_of(runs, key):
    return statistics.median(run[key] for run in runs)


def read_estimates(db):
    """subtree_size of every record, in ascending id order."""
    import lmdb

    env = lmdb.open(db, readonly=True, lock=False, max_dbs=16, subdir=True)
    found = re.compile(rb'"subtree_size":(\d+|null)}$')
    values = array.array("Q")
    try:
        primary = env.open_db(b"primary", integerkey=True, create=False)
        with env.begin(db=primary) as txn:
            for _, value in txn.cursor():
                match = found.search(value)
                values.append(0 if match is None or match.group(1) == b"null" else int(match.group(1)))
    finally:
        env.close()
    return values


def relative_errors(estimates, exact):
    errors = array.array("d")
    for estimate, truth in zip(estimates, exact):
        if truth:
            errors.append(abs(estimate - truth) / truth)
        elif estimate:
            errors.append(float("inf"))
    ordered = sorted(errors)
    if not ordered:
        return 0.0, 0.0
    return ordered[len(ordered) // 2], ordered[min(len(ordered) - 1, int(len(ordered) * 0.9))]


def copy_db(source, target):
    shutil.rmtree(target, ignore_errors=True)
    os.mkdir(target)
    shutil.copyfile(os.path.join(source, "data.mdb"), os.path.join(target, "data.mdb"))


def bench_dump(name, path, args, work, keep_exact_db):
    n = sum(1 for _ in open(path, "rb"))
    print(f"\n== {name}: {n} records, {os.path.getsize(path) / 1e6:.0f} MB", flush=True)
    precisions = [p for p in PRECISIONS if p in args.precisions]
    base = os.path.join(work, "base-db")
    # Each run measures the floor, the import and every pass back to back, so
    # that a burst of load from elsewhere on this shared machine falls on
    # both sides of a ratio rather than on one side's every run.
    floors, imports, passes, retained = [], [], {precision: [] for precision in precisions}, []
    for _ in range(args.runs):
        if not args.no_floor:
            floors.append(floor_run(args.build, path, work))
        shutil.rmtree(base, ignore_errors=True)
        os.mkdir(base)
        imports.append(module_run(args.build, base, path, "NoEstimates"))
        for precision in precisions:
            db = os.path.join(work, f"pass-{precision}")
            copy_db(base, db)
            passes[precision].append(module_run(args.build, db, "-", precision))
            if precision == "Exact":  # back to back with the pass it is compared with
                db = os.path.join(work, "retained")
                copy_db(base, db)
                retained.append(module_run(args.build, db, "-", "Retained"))
                shutil.rmtree(db, ignore_errors=True)

    if args.no_floor:
        print("  floor skipped (--no-floor): no ratios or budgets", flush=True)
    else:
        sccs = int(floors[0]["sccs"])
        depth = int(floors[0]["tarjan_stack_max"])
        import_floor = median_of(floors, "import_seconds") + median_of(floors, "summaries_seconds")
        import_floor_cpu = median_of(floors, "import_cpu_seconds") + median_of(floors, "summaries_cpu_seconds")
        pass_floor = median_of(floors, "pass_seconds")
        pass_floor_cpu = median_of(floors, "pass_cpu_seconds")
        floor_import_rss = median_of(floors, "import_rss_anon_growth_mib")
        floor_pass_rss = median_of(floors, "pass_rss_anon_growth_mib")
        print(f"  {sccs} SCCs, Tarjan stack at most {depth}; floor: import {import_floor:.2f} s "
              f"(puts {median_of(floors, 'import_seconds'):.2f} + summaries {median_of(floors, 'summaries_seconds'):.2f}),"
              f" pass {pass_floor:.2f} s (thread CPU: import {import_floor_cpu:.2f}, pass {pass_floor_cpu:.2f});"
              f" floor RssAnon growth: import {floor_import_rss:.0f} MiB, pass {floor_pass_rss:.0f} MiB")

    seconds, cpu, growth = summarise(imports)
    line = f"  import      {seconds:7.2f} s  {n / seconds:9.0f} rec/s"
    if args.no_floor:
        line += f"  CPU {cpu:7.2f} s  RssAnon +{growth:6.0f} MiB"
    else:
        # Into an empty environment the import holds one sorted run besides.
        import_budget = floor_import_rss + BUDGET_FIXED_MIB + RUN_MIB
        line += (f"   floor {import_floor:6.2f} s  ratio {seconds / import_floor:5.2f}"
                 f"  CPU ratio {cpu / import_floor_cpu:5.2f}  RssAnon +{growth:6.0f} MiB"
                 f" (budget floor+{BUDGET_FIXED_MIB}+run {RUN_MIB} = {import_budget:.0f}:"
                 f" {'ok' if growth <= import_budget else 'OVER'})")
    print(line, flush=True)
    dump_bytes = os.path.getsize(path)
    temporary = max(run[3] for run in imports)
    print(f"  import temporary files at most {temporary / 2**20:.0f} MiB ({temporary / dump_bytes:.2f} x the dump);"
          f" runs of {RUN_MIB} MiB", flush=True)
    no_estimates_mib = imports[-1][4] / 2**20
    if not args.no_floor:
        append_floor = median_of(floors, "append_seconds") + median_of(floors, "append_summaries_seconds")
        append_mib = median_of(floors, "append_data_mib")
        print(f"  import {seconds:.2f} s / input-order floor {import_floor:.2f} s / append floor {append_floor:.2f} s"
              f" (append {median_of(floors, 'append_seconds'):.2f} + summaries"
              f" {median_of(floors, 'append_summaries_seconds'):.2f}): {seconds / append_floor:.2f} x the append floor"
              f" (target 1.25)", flush=True)
        print(f"  data file after NoEstimates {no_estimates_mib:.0f} MiB = {no_estimates_mib / append_mib:.2f} x the"
              f" append floor's {append_mib:.0f} MiB (target 1.1; input-order floor's"
              f" {median_of(floors, 'import_data_mib'):.0f} MiB), {no_estimates_mib * 2**20 / dump_bytes:.2f} x the dump",
              flush=True)
    else:
        print(f"  data file after NoEstimates {no_estimates_mib:.0f} MiB,"
              f" {no_estimates_mib * 2**20 / dump_bytes:.2f} x the dump", flush=True)

    exact = None
    exact_seconds = None
    for precision in precisions:
        db = os.path.join(work, f"pass-{precision}")
        seconds, cpu, growth = summarise(passes[precision])
        line = f"  pass {precision:<6} {seconds:7.2f} s  {n / seconds:9.0f} obj/s"
        if args.no_floor:
            line += f"  CPU {cpu:7.2f} s  RssAnon +{growth:6.0f} MiB"
        else:
            frame = floors[0][f"frame_bytes_{precision.lower()}"]
            budget = floor_pass_rss + BUDGET_FIXED_MIB + BUDGET_BATCH_MIB + (
                BUDGET_PER_NODE * n + BUDGET_PER_SCC[precision] * sccs + (frame + BUDGET_PER_LEVEL_EXTRA) * depth
            ) / 2**20
            line += (f"   floor {pass_floor:6.2f} s  ratio {seconds / pass_floor:5.2f}"
                     f"  CPU ratio {cpu / pass_floor_cpu:5.2f}  RssAnon +{growth:6.0f} MiB"
                     f" (budget {budget:.0f}: {'ok' if growth <= budget else 'OVER'})")
        if precision == "Exact":
            exact_mib = passes[precision][-1][4] / 2**20
            line += f"  data file {exact_mib:.0f} MiB = {exact_mib * 2**20 / os.path.getsize(path):.2f} x the dump"
        estimates = read_estimates(db)  # the last run's database; every run stores the same
        if precision == "Exact":
            exact = estimates
            exact_seconds = seconds
        elif exact is not None:
            median, p90 = relative_errors(estimates, exact)
            line += f"  rel. error median {median:.3f} p90 {p90:.3f}"
        print(line, flush=True)
        if not (precision == "Exact" and keep_exact_db):
            shutil.rmtree(db, ignore_errors=True)
    if retained:
        seconds, cpu, growth = summarise(retained)
        references = int(floors[0]["references"]) if floors else count_references(path)
        budget = (RETAINED_BUDGET_PER_OBJECT * n + RETAINED_BUDGET_PER_REFERENCE * references) / 2**20
        print(f"  retained    {seconds:7.2f} s  {n / seconds:9.0f} obj/s   vs pass Exact: ratio "
              f"{seconds / exact_seconds:5.2f} (target <= 1.0)  CPU {cpu:7.2f} s  RssAnon +{growth:6.0f} MiB"
              f" (budget {RETAINED_BUDGET_PER_OBJECT}/object + {RETAINED_BUDGET_PER_REFERENCE}/reference"
              f" = {budget:.0f}: {'ok' if growth <= budget else 'OVER'})", flush=True)
    if keep_exact_db and "Exact" not in args.precisions:
        copy_db(base, os.path.join(work, "pass-Exact"))  # queries then run without subtree sizes
    shutil.rmtree(base, ignore_errors=True)
    return os.path.join(work, "pass-Exact") if keep_exact_db else None


def count_references(path):
    """References in the dump's lines, repeats and dangling ones included."""
    found = re.compile(rb'"references":\[([^\]]*)\]')
    total = 0
    for row in open(path, "rb"):
        inside = found.search(row).group(1)
        total += inside.count(b",") + 1 if inside.strip() else 0
    return total


def sample_ids(path, count, rng):
    """A uniform sample of the dump's ids (reservoir), read without parsing JSON."""
    id_pattern = re.compile(rb'"id":(\d+)')
    sample = []
    for seen, line in enumerate(open(path, "rb")):
        if len(sample) < count:
            sample.append(int(id_pattern.search(line).group(1)))
        elif rng.randrange(seen + 1) < count:
            sample[rng.randrange(count)] = int(id_pattern.search(line).group(1))
    return sample


def time_queries(build, db, dump, seed, precisions):
    sys.path.insert(0, build)
    import vossick_analysis as va

    rng = random.Random(seed)
    explorer = va.HeapDumpExplorer(db)
    ids = sample_ids(dump, 1000, rng)

    def timed(calls):
        latencies = []
        for call in calls:
            started = time.perf_counter()
            call()
            latencies.append(time.perf_counter() - started)
        return statistics.median(latencies) * 1e3, max(latencies) * 1e3, len(latencies)

    def walk_end(start):
        current = start
        for _ in range(rng.randrange(1, 31)):
            record = explorer.get_object(current)
            refs = [r.id for r in record.references if r.type != "builtins.module"] if record else []
            if not refs:
                break
            current = rng.choice(refs)
        return current

    print(f"\n== queries on the largest dump ({len(ids)} sampled ids; median / worst in ms)")
    rows = [
        ("get_object", [lambda i=i: explorer.get_object(i) for i in ids[:200]]),
        ("get_type_summaries", [explorer.get_type_summaries] * 20),
        ("get_objects_by_type(All Types, page 0)", [lambda: explorer.get_objects_by_type("All Types", 0)] * 10),
        ("get_objects_by_type(All Types, page 50)", [lambda: explorer.get_objects_by_type("All Types", 50)] * 10),
        ("ordered_by_size(All Types, size, page 0)",
         [lambda: explorer.get_objects_by_type_ordered_by_size("All Types", False, 0)] * 10),
        ("ordered_by_size(All Types, subtree, page 0)",
         [lambda: explorer.get_objects_by_type_ordered_by_size("All Types", True, 0)] * 10),
    ]
    pairs = [(rng.choice(ids), rng.choice(ids)) for _ in range(50)]
    starts = [i for i in ids[:400] if (lambda r: r is not None and r.references)(explorer.get_object(i))]
    connected = []
    while len(connected) < 50 and starts:
        start = rng.choice(starts)
        end = walk_end(start)
        if end != start:
            connected.append((start, end))
    searches = pairs + connected
    rows.append(("find_path_between_objects x100", [lambda a=a, b=b: explorer.find_path_between_objects(a, b, set())
                                                     for a, b in searches]))
    explorer.compute_retained_sizes()
    top = explorer.get_dominated_objects(None, 0)
    dominators = [s.id for s, _ in top[:10]]
    rows += [
        ("get_retained_size", [lambda i=i: explorer.get_retained_size(i) for i in ids[:200]]),
        ("get_dominator_chain", [lambda i=i: explorer.get_dominator_chain(i) for i in ids[:200]]),
        ("get_dominated_objects(root, page 0)", [lambda: explorer.get_dominated_objects(None, 0)] * 10),
        ("get_dominated_objects(10 largest, page 0)",
         [lambda d=d: explorer.get_dominated_objects(d, 0) for d in dominators]),
        ("by_retained_size(All Types, page 0)",
         [lambda: explorer.get_objects_by_type_ordered_by_retained_size("All Types", 0)] * 10),
        ("by_retained_size(All Types, page 50)",
         [lambda: explorer.get_objects_by_type_ordered_by_retained_size("All Types", 50)] * 10),
    ]
    if "Exact" in precisions:
        rows.append(("find_largest_common_reachable_object x100",
                     [lambda a=a, b=b: explorer.find_largest_common_reachable_object(a, b) for a, b in searches]))
    else:  # the database queried carries no subtree sizes, which this search needs
        print("  (find_largest_common_reachable_object skipped: run with Exact among the precisions)")
    for name, calls in rows:
        median, worst, count = timed(calls)
        print(f"  {name:<46} n={count:4}  median {median:9.3f}  worst {worst:9.3f}", flush=True)


def time_viewer_pages(build, db):
    """bench/page_times.py over db, in its own interpreter (one explorer per directory per process)."""
    path = os.pathsep.join([build, os.path.join(ROOT, "python")])
    done = subprocess.run([sys.executable, os.path.join(HERE, "page_times.py"), db],
                          env=dict(os.environ, PYTHONPATH=path))
    if done.returncode:
        print("  (viewer pages not timed: install the viewer extra, pip install .[viewer])")


def bench_compare(build, before_dump, after_dump, work, runs):
    """The comparison of two dumps of one process against one cursor pass over both `primary` databases."""
    sys.path.insert(0, build)
    import vossick_analysis as va

    explorers = []
    for dump in (after_dump, before_dump):
        db = os.path.join(work, "compare-" + os.path.basename(dump) + ".db")
        fresh = not os.path.exists(db)
        os.makedirs(db, exist_ok=True)
        explorer = va.HeapDumpExplorer(db)
        if fresh:
            started = time.perf_counter()
            with open(dump, "rb") as lines:
                explorer.import_lines(lines, va.EstimatorPrecision.NoEstimates)
            print(f"  imported {dump} in {time.perf_counter() - started:.1f} s")
        explorers.append((db, explorer))
    (new_db, now), (old_db, old) = explorers
    floor_tool = os.path.join(build, "primary_pass")

    def floor():
        done = subprocess.run([floor_tool, new_db, old_db], capture_output=True, text=True, check=True)
        return float(dict(line.split() for line in done.stdout.splitlines())["pass_seconds"])

    def timed(call):
        started = time.perf_counter()
        result = call()
        return time.perf_counter() - started, len(result)

    calls = [
        ("get_new_objects(All Types, None)", lambda: now.get_new_objects(old, "All Types", None)),
        ("get_new_objects(All Types, page 0)", lambda: now.get_new_objects(old, "All Types", 0)),
        ("get_new_objects(builtins.dict, None)", lambda: now.get_new_objects(old, "builtins.dict", None)),
        ("get_growth_points(None)", lambda: now.get_growth_points(old, None)),
        ("get_growth_points(page 0)", lambda: now.get_growth_points(old, 0)),
        ("compare_type_summaries", lambda: now.compare_type_summaries(old)),
    ]
    if not os.path.exists(floor_tool):
        raise SystemExit(f"primary_pass not found in {build}; build with -DVOSSICK_BUILD_BENCH=ON first")
    floor()  # warms the page cache for both sides
    passes = [floor() for _ in range(runs)]
    base = statistics.median(passes)
    print(f"\n== comparison of two dumps (median of {runs}; seconds, ratio to the cursor pass)")
    print(f"  {'one cursor pass over both primary databases':<46} {base:8.3f}")
    for name, call in calls:
        results = [timed(call) for _ in range(runs)]
        seconds = statistics.median(r[0] for r in results)
        print(f"  {name:<46} {seconds:8.3f}  x{seconds / base:5.2f}  ({results[0][1]:,} rows)", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="no 10 M dump; one run of everything")
    parser.add_argument("--runs", type=int, default=None, help="runs per figure (median); default 3, 1 with --quick")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--workdir", default=None, help="keep dumps and databases here")
    parser.add_argument("--only", default=None, help="comma-separated subset: dump,real,1m,10m,chain,scc")
    parser.add_argument("--dump", action="append", default=[], metavar="PATH",
                        help="also bench this dump file, e.g. a real heap of a large process (repeatable)")
    parser.add_argument("--precisions", default=",".join(PRECISIONS), help="passes to run (errors need Exact)")
    parser.add_argument("--viewer-db", default=None, metavar="DB_DIR",
                        help="also time the web viewer's pages over this database (e.g. a large real dump)")
    parser.add_argument("--compare", nargs=2, default=None, metavar=("BEFORE", "AFTER"),
                        help="time the comparison of two dumps of one process (each imported once into WORKDIR)")
    parser.add_argument("--no-floor", action="store_true",
                        help="skip storage_floor (its in-memory preparation of a 10 M dump needs about 8 GiB)")
    args = parser.parse_args()
    args.precisions = args.precisions.split(",")
    args.build = os.path.abspath(args.build)
    args.runs = args.runs or (1 if args.quick else 3)
    storage_dumps = args.only is None or set(args.only.split(",")) - {"dump"}
    for needed in ("storage_floor",) if storage_dumps else ():
        if not os.path.exists(os.path.join(args.build, needed)):
            raise SystemExit(f"{needed} not found in {args.build}; build with -DVOSSICK_BUILD_BENCH=ON first")
    work = os.path.abspath(args.workdir) if args.workdir else tempfile.mkdtemp(prefix="vossick-bench-")
    os.makedirs(work, exist_ok=True)
    load = os.getloadavg()
    print(f"machine: {os.cpu_count()} cores, load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
          f"{args.runs} run(s) per figure")
    only = set(args.only.split(",")) if args.only else {"dump", "real", "1m", "10m", "chain", "scc"}
    if args.quick:
        only.discard("10m")
    try:
        if "dump" in only:
            dump_rate.bench_dumper(args.runs, work, args.build)
        dumps = []

        def generate(key, name, file_name, make):
            if key not in only:
                return
            path = os.path.join(work, file_name)
            if not os.path.exists(path):
                make(path)
            dumps.append((name, path))

        generate("real", "real dump of examples/sample_program.py", "real.jsonl", lambda p: subprocess.run(
            [sys.executable, os.path.join(ROOT, "examples", "sample_program.py"), p], check=True,
            stdout=subprocess.DEVNULL, env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))))
        generate("1m", "synthetic python-shaped 1M", "synthetic-1m.jsonl",
                 lambda p: synthetic_dump.write(p, synthetic_dump.python_shaped(1_000_000)))
        generate("10m", "synthetic python-shaped 10M", "synthetic-10m.jsonl",
                 lambda p: synthetic_dump.write(p, synthetic_dump.python_shaped(10_000_000)))
        generate("chain", "chain 1M deep", "chain-1m.jsonl",
                 lambda p: synthetic_dump.write(p, synthetic_dump.chain(1_000_000)))
        generate("scc", "single SCC of 1M", "scc-1m.jsonl",
                 lambda p: synthetic_dump.write(p, synthetic_dump.single_cycle(1_000_000)))
        dumps += [(f"dump {os.path.basename(p)}", os.path.abspath(p)) for p in args.dump]
        if args.compare:
            bench_compare(args.build, *map(os.path.abspath, args.compare), work, args.runs)
        if args.viewer_db:
            time_viewer_pages(args.build, os.path.abspath(args.viewer_db))
        if not dumps:
            return
        largest = max(dumps, key=lambda d: os.path.getsize(d[1]))
        for name, path in dumps:
            kept = bench_dump(name, path, args, work, keep_exact_db=(path == largest[1]))
            if kept:
                time_queries(args.build, kept, path, seed=5, precisions=args.precisions)
                time_viewer_pages(args.build, kept)
                shutil.rmtree(kept, ignore_errors=True)
    finally:
        if args.workdir is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
