"""compute_retained_sizes against networkx's immediate_dominators on a real dump.

The dump is of a real program (bench/mypy_workload.py: mypy checking this
repository, about 400,000 objects), written by the project's dumper into
bench/data/mypy.jsonl when missing. networkx gets the same graph with the same
virtual root (found here independently, from networkx's own condensation: the
modules of each source component, or all its members), and its immediate
dominators are checked against the stored ones.

Prints the seconds of networkx's immediate_dominators alone and of the whole
compute_retained_sizes (median of --runs, each in a fresh interpreter on a
fresh copy of the imported environment), and their ratio against the target
of 100. Needs networkx in the environment (bench only: pip install networkx).

  .venv/bin/python bench/retained_vs_networkx.py [--build build/bench] [--runs 3] [--dump FILE]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DUMP = os.path.join(HERE, "data", "mypy.jsonl")
MODULE = "builtins.module"

CHILD = r"""
import sys, time, vossick_analysis as va
explorer = va.HeapDumpExplorer(sys.argv[1])
started, cpu_started = time.perf_counter(), time.process_time()
explorer.compute_retained_sizes()
print(time.perf_counter() - started, time.process_time() - cpu_started)
"""


def make_dump(dump):
    if os.path.exists(dump) or dump != DUMP:
        return
    os.makedirs(os.path.dirname(DUMP), exist_ok=True)
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
    subprocess.run([sys.executable, "-m", "vossick_dump", "-o", DUMP, os.path.join(HERE, "mypy_workload.py")],
                   check=True, env=env)


def networkx_graph(dump):
    """The dump as a DiGraph (dangling and self references left out) and its virtual root's children."""
    import networkx as nx

    records = [json.loads(line) for line in open(dump, "rb")]
    types = {r["id"]: r["type"] for r in records}
    graph = nx.DiGraph()
    graph.add_nodes_from(types)
    graph.add_edges_from((r["id"], ref) for r in records for ref in r["references"] if ref in types and ref != r["id"])
    condensed = nx.condensation(graph)
    children = []
    for component in condensed.nodes:
        if condensed.in_degree(component) == 0:
            members = condensed.nodes[component]["members"]
            modules = [m for m in members if types[m] == MODULE]
            children.extend(modules or members)
    return graph, children


def stored_idoms(db):
    """{id: immediate dominator id, or None directly under the virtual root} from `dominator_tree`."""
    import lmdb

    env = lmdb.open(db, readonly=True, lock=False, max_dbs=16)
    try:
        table = env.open_db(b"dominator_tree", integerkey=True, create=False)
        with env.begin(db=table) as txn:
            idoms = {int.from_bytes(k, "little"): int.from_bytes(v[8:16], "little") for k, v in txn.cursor()}
    finally:
        env.close()
    return {v: (None if d == v else d) for v, d in idoms.items()}


def median(runs, field):
    return statistics.median(run[field] for run in runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dump", default=DUMP, help="another real dump (default: the mypy workload's)")
    args = parser.parse_args()
    import networkx as nx

    make_dump(args.dump)
    work = tempfile.mkdtemp(prefix="vossick-nx-")
    try:
        base = os.path.join(work, "base")
        os.mkdir(base)
        env = dict(os.environ, PYTHONPATH=os.path.abspath(args.build))
        subprocess.run([sys.executable, "-c", "import sys, vossick_analysis as va; "
                        "va.HeapDumpExplorer(sys.argv[1]).import_lines(open(sys.argv[2], 'rb'), "
                        "va.EstimatorPrecision.NoEstimates)", base, args.dump], check=True, env=env)
        ours = []
        for run in range(args.runs):
            db = os.path.join(work, f"run{run}")
            os.mkdir(db)
            shutil.copyfile(os.path.join(base, "data.mdb"), os.path.join(db, "data.mdb"))
            os.sync()
            out = subprocess.run([sys.executable, "-c", CHILD, db], check=True, env=env, capture_output=True, text=True)
            ours.append(tuple(float(x) for x in out.stdout.split()))

        graph, children = networkx_graph(args.dump)
        root = "virtual root"
        graph.add_edges_from((root, child) for child in children)
        theirs = []
        for _ in range(args.runs):
            started, cpu_started = time.perf_counter(), time.process_time()
            idom = nx.immediate_dominators(graph, root)
            theirs.append((time.perf_counter() - started, time.process_time() - cpu_started))
        stored = stored_idoms(db)
        expected = {v: (None if d == root else d) for v, d in idom.items() if v != root}
        agree = sum(stored.get(v, "missing") == d for v, d in expected.items())

        n, m = graph.number_of_nodes() - 1, graph.number_of_edges() - len(children)
        print(f"real dump {os.path.basename(args.dump)}: {n} objects, {m} references, {len(children)} root edges")
        for name, runs in (("networkx immediate_dominators", theirs), ("compute_retained_sizes", ours)):
            print(f"  {name:<30} {median(runs, 0):7.3f} s, CPU {median(runs, 1):7.3f} s (median of {len(runs)}; "
                  f"runs {', '.join(f'{wall:.3f}' for wall, _ in runs)})")
        print(f"  speed-up {median(theirs, 0) / median(ours, 0):6.1f}x, in CPU time {median(theirs, 1) / median(ours, 1):6.1f}x"
              " (target: at least 100x)")
        print(f"  immediate dominators agreeing with networkx: {agree} of {len(expected)}"
              f"{'' if agree == len(expected) == len(stored) else '  MISMATCH'}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
