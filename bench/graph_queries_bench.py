"""Graph query benchmark: prints figures, asserts nothing.

Imports a synthetic python-shaped dump with Exact subtree sizes, then times
path searches and common-object searches between seeded random pairs of ids
from the dump (median and worst latency, number of None results and errors):
pairs of any ids (mostly leaves), pairs of objects that have references, and
pairs whose second id lies on a random reference walk from the first. For
comparison it runs a few of the same path searches on the dump imported with
NoEstimates, where the size test cannot prune.

Usage: python bench/graph_queries_bench.py [--records N] [--pairs P] [--unpruned-pairs U]
"""
import argparse
import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import synthetic_dump  # noqa: E402

import vossick_analysis as va  # noqa: E402


def import_dump(work, name, dump, precision):
    db = os.path.join(work, name)
    os.mkdir(db)
    explorer = va.HeapDumpExplorer(db)
    started = time.perf_counter()
    with open(dump, "rb") as lines:
        explorer.import_lines(lines, precision)
    return explorer, time.perf_counter() - started


def time_calls(pairs, call):
    """Returns (latencies in seconds, None count, error count)."""
    latencies, nones, errors = [], 0, 0
    for first, second in pairs:
        started = time.perf_counter()
        try:
            result = call(first, second)
        except RuntimeError:
            errors += 1
            result = 0
        latencies.append(time.perf_counter() - started)
        nones += result is None
    return latencies, nones, errors


def report(name, latencies, nones, errors):
    print(f"  {name:<48} n={len(latencies):4}  median {statistics.median(latencies) * 1e3:9.3f} ms"
          f"  worst {max(latencies) * 1e3:9.3f} ms  None {nones:4}  errors {errors}")


def load_graph(dump):
    """{id: (type, references)} from the dump."""
    graph = {}
    with open(dump, "rb") as lines:
        for row in lines:
            record = json.loads(row)
            graph[record["id"]] = (record["type"], record["references"])
    return graph


def walk_pairs(graph, starts, rng, count, longest):
    """(start, end) pairs where end lies on a random reference walk from start that meets no module."""
    pairs = []
    while len(pairs) < count:
        start = rng.choice(starts)
        current = start
        for _ in range(rng.randrange(1, longest + 1)):
            refs = [r for r in graph[current][1] if r in graph and graph[r][0] != "builtins.module"]
            if not refs:
                break
            current = rng.choice(refs)
        if current != start:
            pairs.append((start, current))
    return pairs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--pairs", type=int, default=100)
    parser.add_argument("--unpruned-pairs", type=int, default=10)
    parser.add_argument("--seed", type=int, default=5)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="vossick-graph-bench-")
    try:
        dump = os.path.join(work, "synthetic.jsonl")
        synthetic_dump.write(dump, synthetic_dump.python_shaped(args.records))
        graph = load_graph(dump)
        ids = list(graph)
        inner = [i for i in ids if graph[i][1]]  # objects with references
        print(f"synthetic python-shaped dump: {len(ids)} records, {len(inner)} with references")

        explorer, seconds = import_dump(work, "exact", dump, va.EstimatorPrecision.Exact)
        print(f"  import with Exact: {seconds:.1f} s")
        rng = random.Random(args.seed)
        any_pairs = [(rng.choice(ids), rng.choice(ids)) for _ in range(args.pairs)]
        inner_pairs = [(rng.choice(inner), rng.choice(inner)) for _ in range(args.pairs)]
        connected = walk_pairs(graph, inner, rng, args.pairs, 30)
        nodes = [i for i in ids if graph[i][0] == "__main__.Node"]
        node_set = set(nodes)
        next_node = {i: [r for r in graph[i][1] if r in node_set] for i in nodes}
        has_referrer = {r for refs in next_node.values() for r in refs}
        chain_ends = [([i for i in nodes if i not in has_referrer] or [None])[0],
                      ([i for i in nodes if not next_node[i]] or [None])[0]]
        del graph, node_set, next_node, has_referrer

        def path(target):
            return lambda a, b: target.find_path_between_objects(a, b, set())

        print(" path search")
        report("random pairs of ids", *time_calls(any_pairs, path(explorer)))
        report("random pairs, both with references", *time_calls(inner_pairs, path(explorer)))
        report("end on a reference walk from start", *time_calls(connected, path(explorer)))
        chain = [tuple(chain_ends)] if None not in chain_ends else []
        report(f"head to tail of the {len(nodes)}-node chain", *time_calls(chain, path(explorer)))
        print(" largest common reachable object")
        report("random pairs of ids", *time_calls(any_pairs, explorer.find_largest_common_reachable_object))
        report("random pairs, both with references", *time_calls(
            inner_pairs, explorer.find_largest_common_reachable_object))
        report("end on a reference walk from start", *time_calls(
            connected, explorer.find_largest_common_reachable_object))

        if args.unpruned_pairs:
            unpruned, seconds = import_dump(work, "none", dump, va.EstimatorPrecision.NoEstimates)
            print(f" path search with and without the size test (NoEstimates import: {seconds:.1f} s)")
            for name, pairs in (("random pairs, both with references", inner_pairs),
                                ("end on a reference walk from start", connected),
                                ("head to tail of the chain", chain)):
                subset = pairs[:args.unpruned_pairs]
                report(name + ", Exact", *time_calls(subset, path(explorer)))
                report(name + ", NoEstimates", *time_calls(subset, path(unpruned)))
            del unpruned
        del explorer
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
