"""Retained sizes and the dominator tree through the module, against a plain model:
roots from mutual reachability, d dominating v iff v is unreachable once d is removed."""
import random

import pytest

from conftest import MODULE, NO, line, raises_exactly
from test_subtree_sizes import MASK, lines_of, random_graph

NOT_COMPUTED = ("retained sizes are not computed for this database: call compute_retained_sizes() "
                "(every import discards them)")


def model(records):
    """{id: immediate dominator id or None} and {id: retained size}."""
    by_id = {r["id"]: r for r in records}
    succ = {i: [j for j in r["references"] if j in by_id and j != i] for i, r in by_id.items()}

    def reached(starts, removed=None):
        seen = {s for s in starts if s != removed}
        stack = list(seen)
        while stack:
            for w in succ[stack.pop()]:
                if w != removed and w not in seen:
                    seen.add(w)
                    stack.append(w)
        return seen

    reach = {i: reached([i]) for i in by_id}
    component = {i: frozenset(j for j in reach[i] if i in reach[j]) for i in by_id}
    entered = {component[w] for v in by_id for w in succ[v] if component[w] != component[v]}
    is_module = {i: r["type"] == MODULE for i, r in by_id.items()}
    roots = [v for v in by_id if component[v] not in entered
             and (is_module[v] or not any(is_module[u] for u in component[v]))]
    dominated = {d: set(by_id) - reached(roots, d) - {d} for d in by_id}
    depth = {v: sum(v in dominated[d] for d in by_id) for v in by_id}
    idom = {v: max((d for d in by_id if v in dominated[d]), key=depth.get, default=None) for v in by_id}
    retained = {d: (by_id[d]["size"] + sum(by_id[v]["size"] for v in dominated[d])) & MASK for d in by_id}
    return idom, retained


def pairs(listing):
    return [(s.id, size) for s, size in listing]


def ranked(ids, retained):
    return [(i, retained[i]) for i in sorted(ids, key=lambda i: (-retained[i], i))]


@pytest.mark.parametrize("seed", range(8))
def test_every_query_matches_the_model(make_explorer, seed):
    rng = random.Random(seed)
    records = random_graph(rng, rng.randrange(1, 40)) if seed else []
    explorer = make_explorer(lines_of(records))
    explorer.compute_retained_sizes()
    idom, retained = model(records)
    absent = min(set(range(len(idom) + 1)) - set(idom))
    assert {i: explorer.get_retained_size(i) for i in idom} == retained
    assert explorer.get_retained_size(absent) is None and explorer.get_dominator_chain(absent) is None
    for v in idom:
        chain = [v]
        while idom[chain[0]] is not None:
            chain.insert(0, idom[chain[0]])
        assert [s.id for s in explorer.get_dominator_chain(v)] == chain
    for d in [None, *idom]:
        children = [v for v in idom if idom[v] == d]
        assert pairs(explorer.get_dominated_objects(d, None)) == ranked(children, retained), d
    for typename in ("All Types", "A", "B", MODULE):
        of_type = [r["id"] for r in records if typename in ("All Types", r["type"])]
        assert pairs(explorer.get_objects_by_type_ordered_by_retained_size(typename, None)) == ranked(of_type, retained)
    assert explorer.get_dominated_objects(absent, None) == []


@pytest.mark.parametrize("page, count", [(0, 1000), (1, 1000), (2, 500), (3, 0), (None, 2500), (2**64 - 1, 0)])
def test_pages_of_1000(make_explorer, page, count):
    explorer = make_explorer([line(0, MODULE, range(1, 2501), size=1)] + [line(i, size=i) for i in range(1, 2501)])
    explorer.compute_retained_sizes()
    for listing in (explorer.get_dominated_objects(0, page),
                    explorer.get_objects_by_type_ordered_by_retained_size("builtins.object", page)):
        assert len(listing) == count
        if count:
            start = 2500 - 1000 * (page or 0)
            assert pairs(listing)[0] == (start, start)


QUERIES = [
    lambda e: e.get_retained_size(1),
    lambda e: e.get_dominator_chain(1),
    lambda e: e.get_dominated_objects(None, 0),
    lambda e: e.get_objects_by_type_ordered_by_retained_size("All Types", None),
]


@pytest.mark.parametrize("query", QUERIES)
def test_queries_refuse_results_never_computed_or_discarded_by_an_import(make_explorer, query):
    explorer = make_explorer([line(1, size=5)])
    raises_exactly(RuntimeError, NOT_COMPUTED, query, explorer)
    explorer.compute_retained_sizes()
    query(explorer)
    explorer.import_lines([line(2, size=7)], NO)
    raises_exactly(RuntimeError, NOT_COMPUTED, query, explorer)
    explorer.compute_retained_sizes()
    assert explorer.get_retained_size(2) == 7
