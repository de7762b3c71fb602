"""Reference path search and largest common reachable object, compared on seeded
random graphs (modules, dangling references, ids without records, crafted and
exact subtree sizes with many ties) against the plain Python models below, which
follow the documented procedures step by step, including their error texts and
the array heap that settles ties."""
import collections
import random

import pytest

import vossick_analysis as va
from conftest import EXACT, MODULE, NO, ids, line


# ---- models ------------------------------------------------------------------------


class ModelError(Exception):
    pass


def model_path(records, start, end, avoid):
    """records: {id: (type, references, subtree_size)}. Returns ids or None."""
    for name, obj_id in (("Start", start), ("End", end)):
        if obj_id not in records:
            raise ModelError(f"{name} ID {obj_id} not found in database")
    end_size = records[end][2]
    queue, parent, dead = collections.deque([start]), {start: None}, set()
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
            elif ref not in parent:
                parent[ref] = current
                queue.append(ref)
    return None


def sift_up(heap, i):
    while i > 0 and heap[i][0] > heap[(i - 1) // 2][0]:
        heap[i], heap[(i - 1) // 2] = heap[(i - 1) // 2], heap[i]
        i = (i - 1) // 2


def model_push(heap, item):
    """item: (subtree_size, id, origin, references)."""
    heap.append(item)
    sift_up(heap, len(heap) - 1)


def model_pop(heap):
    """The core's procedure: the hole walks down to the bottom (the right child on ties), the last item fills it
    and climbs."""
    if len(heap) <= 1:
        return heap.pop() if heap else None
    result, last, i = heap[0], heap.pop(), 0
    while 2 * i + 2 < len(heap):
        left, right = 2 * i + 1, 2 * i + 2
        child = right if heap[left][0] <= heap[right][0] else left
        heap[i] = heap[child]
        i = child
    if 2 * i + 1 == len(heap) - 1:
        heap[i] = heap[2 * i + 1]
        i = 2 * i + 1
    heap[i] = last
    sift_up(heap, i)
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


def test_path_summaries_keywords_and_set_subclasses(make_explorer):
    explorer = make_explorer([line(1, "a.B", [2, 3], size=3, value="v"), line(2, size=4), line(3)], EXACT)
    path = explorer.find_path_between_objects(avoiding_ids=frozenset(), end_id=2, start_id=1)
    assert [(s.id, s.type, s.value, s.size, s.subtree_size) for s in path] == [
        (1, "a.B", "v", 3, 23), (2, "builtins.object", None, 4, 4)]
    assert all(isinstance(s, va.ObjectSummary) for s in path)

    class IdSet(set):
        pass

    assert explorer.find_path_between_objects(1, 2, IdSet({2})) is None
