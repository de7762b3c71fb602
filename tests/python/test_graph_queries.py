"""Reference path search and largest common reachable object.

Besides hand-written cases, both searches are compared on seeded random graphs
against the plain Python models below, which follow the documented procedures
step by step (including the array heap that settles ties).
"""
import collections
import random

import pytest

import vossick_analysis as va
from conftest import line

NO = va.EstimatorPrecision.NoEstimates
EXACT = va.EstimatorPrecision.Exact
MODULE = "builtins.module"


def ids(path):
    return None if path is None else [s.id for s in path]


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


# ---- the model's heap against hand-worked orders ------------------------------------------

@pytest.mark.parametrize("keys, order", [
    ([5, 5, 5, 5], [0, 2, 1, 3]),
    ([5, 5, 5, 5, 5], [0, 2, 4, 1, 3]),
    ([10, 3, 7, 3, 9], [0, 4, 2, 3, 1]),
    ([1, 2, 3], [2, 1, 0]),
])
def test_model_heap_matches_worked_orders(keys, order):
    heap = []
    for index, key in enumerate(keys):
        model_push(heap, (key, index, 0, []))
    popped = []
    while heap:
        popped.append(model_pop(heap)[1])
    assert popped == order


# ---- path search: cases ---------------------------------------------------------------------

@pytest.mark.parametrize("edges, types, start, end, avoid, expected", [
    ({1: [2], 2: []}, {}, 1, 1, set(), [1]),
    ({1: [2, 3], 2: [3], 3: []}, {}, 1, 3, set(), [1, 3]),
    ({1: [3, 2], 2: [4], 3: [4], 4: []}, {}, 1, 4, set(), [1, 3, 4]),
    ({1: [2, 3], 2: [4], 3: [4], 4: []}, {}, 1, 4, set(), [1, 2, 4]),
    ({1: [2], 2: [3], 3: []}, {}, 1, 3, {2}, None),
    ({1: [2], 2: []}, {}, 1, 2, {2}, None),
    ({1: [2], 2: []}, {}, 1, 2, frozenset({1}), [1, 2]),
    ({1: [2], 2: []}, {2: MODULE}, 1, 2, set(), None),
    ({1: [2], 2: []}, {1: MODULE}, 1, 2, set(), [1, 2]),
    ({1: []}, {1: MODULE}, 1, 1, {1}, [1]),
    ({1: [1, 2], 2: [1, 2, 3], 3: [2]}, {}, 1, 3, set(), [1, 2, 3]),
    ({1: [2], 2: [1]}, {}, 2, 3, set(), "End ID 3 not found in database"),
    ({1: [2], 2: []}, {}, 2, 1, set(), None),
    ({1: []}, {}, 5, 6, set(), "Start ID 5 not found in database"),
    ({1: [7, 2], 2: []}, {}, 1, 2, set(), "Decoding error: Missing record for ID 7"),
    ({1: [7, 2], 2: []}, {}, 1, 2, {7}, [1, 2]),
    ({1: [2, 3], 2: [9], 3: []}, {}, 1, 3, set(), "Decoding error: Missing record for ID 9"),
    ({1: [3, 2], 2: [9], 3: []}, {}, 1, 3, set(), [1, 3]),
    ({2**64 - 1: [0], 0: []}, {}, 2**64 - 1, 0, set(), [2**64 - 1, 0]),
], ids=["same", "shortcut", "stored-order-c-first", "stored-order-b-first", "avoided-middle", "avoided-end",
        "avoided-start", "module-end", "module-start", "avoided-module-start-is-end", "cycles", "missing-end",
        "forwards-only", "missing-start-first", "dangling", "dangling-avoided", "dangling-before-end",
        "end-before-dangling", "extreme-ids"])
def test_path_cases(make_explorer, edges, types, start, end, avoid, expected):
    explorer = make_explorer(graph_lines(edges, types))
    if isinstance(expected, str):
        with pytest.raises(RuntimeError) as info:
            explorer.find_path_between_objects(start, end, avoid)
        assert str(info.value) == expected
        assert explorer.get_count_for_type("All Types") == len(edges)  # still usable
    else:
        assert ids(explorer.find_path_between_objects(start, end, avoid)) == expected


def test_path_summaries_and_keywords(make_explorer):
    explorer = make_explorer([line(1, "a.B", [2], size=3, value="v"), line(2, size=4)], EXACT)
    path = explorer.find_path_between_objects(avoiding_ids=frozenset(), end_id=2, start_id=1)
    assert [(s.id, s.type, s.value, s.size, s.subtree_size) for s in path] == [
        (1, "a.B", "v", 3, 7), (2, "builtins.object", None, 4, 4)]
    assert all(isinstance(s, va.ObjectSummary) for s in path)


@pytest.mark.parametrize("subtree_sizes, expected", [
    ({1: 5, 2: 10}, None),               # start smaller than the end: rejected at once
    ({1: 10, 3: 10, 2: 10}, [1, 3, 2]),  # equal sizes pass
    ({1: 5, 3: 5}, [1, 3, 2]),           # the test needs both sizes
    ({2: 10}, [1, 3, 2]),
    ({1: 100, 3: 9, 2: 10}, [1, 4, 2]),  # 3 is rejected, the path goes round it
])
def test_size_test(make_explorer, subtree_sizes, expected):
    explorer = make_explorer(graph_lines({1: [3, 4], 3: [2], 4: [2], 2: []}, subtree_sizes=subtree_sizes))
    assert ids(explorer.find_path_between_objects(1, 2, set())) == expected


def test_size_test_prunes_before_dangling_reference(make_explorer):
    # Exact sizes: the start's subtree is smaller than the end's, so its
    # dangling reference is never read.
    explorer = make_explorer([line(1, references=[9], size=1), line(2, size=100)], EXACT)
    assert explorer.find_path_between_objects(1, 2, set()) is None


def test_rejected_object_stays_a_dead_end(make_explorer):
    sizes = {1: 100, 2: 5, 3: 60, 4: 10}
    explorer = make_explorer(graph_lines({1: [2, 3], 2: [4], 3: [2], 4: []}, subtree_sizes=sizes))
    assert explorer.find_path_between_objects(1, 4, set()) is None


# ---- path search: arguments ------------------------------------------------------------------

class IdSet(set):
    pass


@pytest.mark.parametrize("args, error, message", [
    ((1, 2, [3]), TypeError, "argument 'avoiding_ids': 'list' object is not an instance of 'set'"),
    ((1, 2, None), TypeError, "argument 'avoiding_ids': 'None' is not an instance of 'set'"),
    ((1, 2, {3: 4}), TypeError, "argument 'avoiding_ids': 'dict' object is not an instance of 'set'"),
    ((1, 2, {"x"}), TypeError, "argument 'avoiding_ids': 'str' object cannot be interpreted as an integer"),
    (("1", 2, [3]), TypeError, "argument 'start_id': 'str' object cannot be interpreted as an integer"),
    ((1, None, None), TypeError, "argument 'end_id': 'NoneType' object cannot be interpreted as an integer"),
    ((1, 2), TypeError,
     "HeapDumpExplorer.find_path_between_objects() missing 1 required positional argument: 'avoiding_ids'"),
    ((1, 2, set(), 4), TypeError,
     "HeapDumpExplorer.find_path_between_objects() takes 3 positional arguments but 4 were given"),
])
def test_path_argument_errors(explorer, args, error, message):
    with pytest.raises(error) as info:
        explorer.find_path_between_objects(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("args", [(-1, 2, set()), (1, 2**64, set()), (1, 2, {-1}), (1, 2, {2**64})])
def test_path_out_of_range_ids_overflow(explorer, args):
    with pytest.raises(OverflowError):
        explorer.find_path_between_objects(*args)


def test_path_accepts_set_subclasses_and_empty_frozenset(make_explorer):
    explorer = make_explorer(graph_lines({1: [2, 3], 2: [4], 3: [4], 4: []}))
    assert ids(explorer.find_path_between_objects(1, 4, IdSet({2}))) == [1, 3, 4]
    assert ids(explorer.find_path_between_objects(1, 4, frozenset())) == [1, 2, 4]


# ---- largest common reachable object: cases ---------------------------------------------------

@pytest.mark.parametrize("edges, types, first, second, expected", [
    ({1: []}, {}, 1, 1, 1),
    ({1: [2], 2: []}, {}, 1, 2, 2),
    ({1: [3], 2: [3], 3: []}, {}, 1, 2, 3),
    ({1: [3], 2: [4], 3: [], 4: []}, {}, 1, 2, None),
    ({1: [3], 2: [3], 3: []}, {3: MODULE}, 1, 2, None),
    ({1: [3], 2: [3], 3: []}, {1: MODULE, 2: MODULE}, 1, 2, 3),
    ({1: [2], 2: [1]}, {}, 1, 2, 2),
    ({1: [7], 2: []}, {}, 1, 2, "Object ID 7 not found in database"),
    ({1: []}, {}, 8, 9, "Object ID 8 not found in database"),
    ({1: []}, {}, 1, 9, "Object ID 9 not found in database"),
], ids=["same", "first-reaches-second", "shared-child", "nothing-common", "module-reference", "module-starts",
        "cycle", "dangling", "missing-first-reported-first", "missing-second"])
def test_common_cases(make_explorer, edges, types, first, second, expected):
    explorer = make_explorer(graph_lines(edges, types), EXACT)
    if isinstance(expected, str):
        with pytest.raises(RuntimeError) as info:
            explorer.find_largest_common_reachable_object(first, second)
        assert str(info.value) == expected
        assert explorer.get_count_for_type("All Types") == len(edges)  # still usable
    else:
        assert explorer.find_largest_common_reachable_object(first, second) == expected


def test_common_picks_the_largest(make_explorer):
    edges = {1: [3, 4], 2: [4, 3], 3: [], 4: [5], 5: []}
    explorer = make_explorer(graph_lines(edges, sizes={3: 10, 4: 20, 5: 30}), EXACT)
    assert explorer.find_largest_common_reachable_object(obj_id2=2, obj_id1=1) == 4


@pytest.mark.parametrize("lines, first, second, expected", [
    ([line(1), line(2)], 1, 2, "No subtree size in 1"),
    ([line(1)], 1, 9, "No subtree size in 1"),
    ([line(1, subtree_size=5), line(2)], 1, 2, "No subtree size in 2"),
    ([line(1, references=[3], subtree_size=5), line(2, subtree_size=4), line(3)], 1, 2, "No subtree size in 3"),
])
def test_common_needs_subtree_sizes(make_explorer, lines, first, second, expected):
    explorer = make_explorer(lines)
    with pytest.raises(RuntimeError) as info:
        explorer.find_largest_common_reachable_object(first, second)
    assert str(info.value) == expected


def test_common_found_before_dangling_reference_is_expanded(make_explorer):
    explorer = make_explorer(graph_lines({1: [2, 3], 2: [], 3: [9]}, subtree_sizes={1: 50, 2: 40, 3: 10}))
    assert explorer.find_largest_common_reachable_object(1, 2) == 2


@pytest.mark.parametrize("first_refs, second_refs, expected", [
    ([3, 4], [4, 3], 4),
    ([4, 3], [3, 4], 3),
    ([3, 4], [3, 4], 3),
])
def test_common_ties_follow_the_heap_not_the_ids(make_explorer, first_refs, second_refs, expected):
    sizes = {1: 9, 2: 9, 3: 5, 4: 5}
    explorer = make_explorer(graph_lines({1: first_refs, 2: second_refs, 3: [], 4: []}, subtree_sizes=sizes))
    assert explorer.find_largest_common_reachable_object(1, 2) == expected


@pytest.mark.parametrize("args, error, message", [
    (("1", 2), TypeError, "argument 'obj_id1': 'str' object cannot be interpreted as an integer"),
    ((1, 2.0), TypeError, "argument 'obj_id2': 'float' object cannot be interpreted as an integer"),
    ((1,), TypeError,
     "HeapDumpExplorer.find_largest_common_reachable_object() missing 1 required positional argument: 'obj_id2'"),
])
def test_common_argument_errors(explorer, args, error, message):
    with pytest.raises(error) as info:
        explorer.find_largest_common_reachable_object(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("args", [(-1, 2), (1, 2**64)])
def test_common_out_of_range_ids_overflow(explorer, args):
    with pytest.raises(OverflowError) as info:
        explorer.find_largest_common_reachable_object(*args)
    assert "obj_id" not in str(info.value)


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
