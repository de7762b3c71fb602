"""Reference path search and largest common reachable object.

Besides hand-written cases, both searches are compared on seeded random graphs
against the plain Python models below, which follow the documented procedures
step by step (including the array heap that settles ties; the core's tests pin
that heap's orders, so agreement here pins the model's too).
"""
import collections
import random

import pytest

import vossick_analysis as va
from conftest import EXACT, MODULE, NO, ids, line, raises_exactly


def graph_lines(edges, types=None, sizes=None, subtree_sizes=None):
    """Lines for {id: [references]}; every key gets a record."""
    types, sizes, subtree_sizes = types or {}, sizes or {}, subtree_sizes or {}
    return [line(i, types.get(i, "builtins.object"), refs, size=sizes.get(i, 16),
                 subtree_size=subtree_sizes.get(i)) for i, refs in edges.items()]


# ---- models ------------------------------------------------------------------------


class ModelError(Exception):
    pass


def model_path(records, start, end, avoid):
    """records: {id: (type, references, subtree_size)}. Returns ids or None."""
    if start not in records:
        raise ModelError(f"Start ID {start} not found in database")
    if end not in records:
        raise ModelError(f"End ID {end} not found in database")
    end_size = records[end][2]
    queue = collections.deque([start])
    parent = {start: None}
    dead = set()
    while queue:
        current = queue.popleft()
        size = records[current][2]
        if size is not None and end_size is not None and size < end_size:
            dead.add(current)
            continue
        if current == end:
            path = [current]
            while parent[path[-1]] is not None:
                path.append(parent[path[-1]])
            return path[::-1]
        for ref in records[current][1]:
            if ref in dead or ref in avoid:
                continue
            if ref not in records:
                raise ModelError(f"Decoding error: Missing record for ID {ref}")
            if records[ref][0] == MODULE:
                dead.add(ref)
                continue
            if ref not in parent:
                parent[ref] = current
                queue.append(ref)
    return None


def model_push(heap, item):
    """item: (subtree_size, id, origin, references)."""
    heap.append(item)
    i = len(heap) - 1
    while i > 0 and heap[i][0] > heap[(i - 1) // 2][0]:
        heap[i], heap[(i - 1) // 2] = heap[(i - 1) // 2], heap[i]
        i = (i - 1) // 2


def model_pop(heap):
    if not heap:
        return None
    last = heap.pop()
    if not heap:
        return last
    result = heap[0]
    i = 0
    while 2 * i + 2 < len(heap):
        left, right = 2 * i + 1, 2 * i + 2
        child = right if heap[left][0] <= heap[right][0] else left
        heap[i] = heap[child]
        i = child
    if 2 * i + 1 == len(heap) - 1:
        heap[i] = heap[2 * i + 1]
        i = 2 * i + 1
    heap[i] = last
    while i > 0 and heap[i][0] > heap[(i - 1) // 2][0]:
        heap[i], heap[(i - 1) // 2] = heap[(i - 1) // 2], heap[i]
        i = (i - 1) // 2
    return result


def model_common(records, first, second):
    def item(obj_id, origin, missing_message):
        if obj_id not in records:
            raise ModelError(missing_message)
        type_, refs, size = records[obj_id]
        if size is None:
            raise ModelError(f"No subtree size in {obj_id}")
        return (size, obj_id, origin, refs)

    heap = []
    model_push(heap, item(first, 0, f"Object ID {first} not found in database"))
    model_push(heap, item(second, 1, f"Object ID {second} not found in database"))
    visited = (set(), set())
    while True:
        popped = model_pop(heap)
        if popped is None:
            return None
        _, obj_id, origin, refs = popped
        if obj_id in visited[origin]:
            continue
        visited[origin].add(obj_id)
        if obj_id in visited[1 - origin]:
            return obj_id
        for ref in refs:
            if ref not in records:
                raise ModelError(f"Object ID {ref} not found in database")
            if records[ref][0] == MODULE:
                continue
            model_push(heap, item(ref, origin, None))


# ---- path search ---------------------------------------------------------------------------

M = {"types": {2: MODULE}}


@pytest.mark.parametrize("edges, start, end, avoid, expected, options", [
    ({1: [3, 2], 2: [4], 3: [4], 4: []}, 1, 4, set(), [1, 3, 4], {}),
    ({1: [2, 3], 2: [5], 3: [4], 4: [5], 5: []}, 1, 5, {2}, [1, 3, 4, 5], {}),
    ({1: [2], 2: []}, 1, 2, {2}, None, {}),
    ({1: [2], 2: []}, 1, 2, set(), None, M),
    ({1: [2], 2: []}, 1, 2, set(), [1, 2], {"types": {1: MODULE}}),
    ({1: []}, 5, 6, set(), "Start ID 5 not found in database", {}),
    ({1: [7, 2], 2: []}, 1, 2, set(), "Decoding error: Missing record for ID 7", {}),
    ({1: [7, 2], 2: []}, 1, 2, {7}, [1, 2], {}),
    ({1: [3, 4], 3: [2], 4: [2], 2: []}, 1, 2, set(), [1, 3, 2], {"subtree_sizes": {1: 10, 3: 10, 2: 10}}),
    ({1: [3, 4], 3: [2], 4: [2], 2: []}, 1, 2, set(), [1, 3, 2], {"subtree_sizes": {1: 5, 3: 5}}),  # needs both
], ids=["stored-order", "around-avoided", "avoided-end", "module-end", "module-start", "missing-start-first",
        "dangling", "dangling-avoided", "size-equal-passes", "size-needs-both"])
def test_path_cases(make_explorer, edges, start, end, avoid, expected, options):
    explorer = make_explorer(graph_lines(edges, **options))
    if isinstance(expected, str):
        raises_exactly(RuntimeError, expected, explorer.find_path_between_objects, start, end, avoid)
        assert explorer.get_count_for_type("All Types") == len(edges)  # still usable
    else:
        assert ids(explorer.find_path_between_objects(start, end, avoid)) == expected


def test_path_summaries_keywords_and_set_subclasses(make_explorer):
    explorer = make_explorer([line(1, "a.B", [2, 3], size=3, value="v"), line(2, size=4), line(3)], EXACT)
    path = explorer.find_path_between_objects(avoiding_ids=frozenset(), end_id=2, start_id=1)
    assert [(s.id, s.type, s.value, s.size, s.subtree_size) for s in path] == [
        (1, "a.B", "v", 3, 23), (2, "builtins.object", None, 4, 4)]
    assert all(isinstance(s, va.ObjectSummary) for s in path)

    class IdSet(set):
        pass

    assert explorer.find_path_between_objects(1, 2, IdSet({2})) is None


EP = "HeapDumpExplorer.find_path_between_objects() "
EC = "HeapDumpExplorer.find_largest_common_reachable_object() "


@pytest.mark.parametrize("method, args, message", [
    ("path", (1, 2, [3]), "argument 'avoiding_ids': 'list' object is not an instance of 'set'"),
    ("path", (1, 2, {"x"}), "argument 'avoiding_ids': 'str' object is not an instance of 'int'"),
    ("path", (1, 2), EP + "missing 1 required positional argument: 'avoiding_ids'"),
    ("common", (1, 2.0), "argument 'obj_id2': 'float' object is not an instance of 'int'"),
    ("common", (1,), EC + "missing 1 required positional argument: 'obj_id2'"),
])
def test_argument_errors(explorer, method, args, message):
    call = explorer.find_path_between_objects if method == "path" else explorer.find_largest_common_reachable_object
    raises_exactly(TypeError, message, call, *args)


# ---- largest common reachable object ------------------------------------------------------------

@pytest.mark.parametrize("lines, precision, first, second, expected", [
    (graph_lines({1: [3, 4], 2: [4, 3], 3: [], 4: [5], 5: []}, sizes={3: 10, 4: 20, 5: 30}), EXACT, 1, 2, 4),
    (graph_lines({1: [3], 2: [3], 3: []}, {3: MODULE}), EXACT, 1, 2, None),
    (graph_lines({1: [3], 2: [3], 3: []}, {1: MODULE, 2: MODULE}), EXACT, 1, 2, 3),
    (graph_lines({1: []}), EXACT, 8, 9, "Object ID 8 not found in database"),
    ([line(1, references=[3], subtree_size=5), line(2, subtree_size=4), line(3)], NO, 1, 2, "No subtree size in 3"),
    # Found before the object holding the dangling reference is expanded.
    (graph_lines({1: [2, 3], 2: [], 3: [9]}, subtree_sizes={1: 50, 2: 40, 3: 10}), NO, 1, 2, 2),
    # Equal sizes: the heap procedure, not the ids, decides.
    (graph_lines({1: [3, 4], 2: [4, 3], 3: [], 4: []}, subtree_sizes={1: 9, 2: 9, 3: 5, 4: 5}), NO, 1, 2, 4),
], ids=["largest-of-several", "module-reference", "module-starts", "missing-first-reported-first",
        "no-size-in-reference", "answer-before-dangling", "tie-4"])
def test_common_cases(make_explorer, lines, precision, first, second, expected):
    explorer = make_explorer(lines, precision)
    if isinstance(expected, str):
        raises_exactly(RuntimeError, expected, explorer.find_largest_common_reachable_object, first, second)
        assert explorer.get_count_for_type("All Types") == len(lines)  # still usable
    else:
        assert explorer.find_largest_common_reachable_object(obj_id2=second, obj_id1=first) == expected


# ---- random graphs against the models -------------------------------------------------------

def random_graph(rng, crafted_sizes):
    """Returns (lines, {id: (type, references, crafted subtree size)}, ids to search from)."""
    n = rng.randrange(1, 30)
    pool = [rng.randrange(2**64) if rng.random() < 0.2 else rng.randrange(64) for _ in range(n)]
    node_ids = list(dict.fromkeys(pool))
    dangling = [rng.randrange(64, 128) for _ in range(2)]
    lines, records = [], {}
    for node in node_ids:
        refs = [rng.choice(node_ids) for _ in range(rng.randrange(0, 5))]
        if rng.random() < 0.05:
            refs.insert(rng.randrange(len(refs) + 1), rng.choice(dangling))
        type_ = MODULE if rng.random() < 0.1 else "builtins.object"
        # Few distinct values, so ties are common.
        subtree = rng.choice([None, 1, 2, 2, 3, 3, 5, 8, 8, 13]) if crafted_sizes else None
        lines.append(line(node, type_, refs, size=rng.randrange(1, 50), subtree_size=subtree))
        records[node] = (type_, refs, subtree)
    # Mostly existing ids; now and then one without a record.
    return lines, records, node_ids * 10 + dangling


def outcome(call):
    try:
        return call()
    except (RuntimeError, ModelError) as error:
        return ("error", str(error))


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("precision", ["exact", "crafted"])
def test_searches_agree_with_models(db_dir, seed, precision):
    rng = random.Random(seed * 2 + (precision == "exact"))
    lines, records, candidates = random_graph(rng, crafted_sizes=precision == "crafted")
    explorer = va.HeapDumpExplorer(str(db_dir))
    explorer.import_lines(lines, EXACT if precision == "exact" else NO)
    if precision == "exact":
        stored = {s.id: s.subtree_size for s in explorer.get_objects_by_type("All Types", None)}
        records = {i: (t, refs, stored[i]) for i, (t, refs, _) in records.items()}
    for _ in range(25):
        start, end = rng.choice(candidates), rng.choice(candidates)
        avoid = {rng.choice(candidates) for _ in range(rng.randrange(0, 4))}
        got = outcome(lambda: ids(explorer.find_path_between_objects(start, end, avoid)))
        assert got == outcome(lambda: model_path(records, start, end, avoid)), (start, end, avoid)
        got = outcome(lambda: explorer.find_largest_common_reachable_object(start, end))
        assert got == outcome(lambda: model_common(records, start, end)), (start, end)
