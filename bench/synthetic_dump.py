"""Synthetic heap dumps shaped like a Python process.

Modules hold dicts of functions, classes and data; classes and their dicts
reference each other (cycles); containers hold many small leaves (str, int);
a few huge containers; one deep linked chain. Ids look like addresses.
"""
import json
import random


def _ids(count, rng):
    ids = [0x7F0000000000 + 16 * k for k in range(count)]
    rng.shuffle(ids)
    return ids


def python_shaped(n_records, seed=1, chain_length=None):
    """Yields `n_records` dump lines (bytes, newline-terminated)."""
    rng = random.Random(seed)
    ids = _ids(n_records, rng)
    chain_length = chain_length if chain_length is not None else max(1, n_records // 100)
    n_modules = max(1, n_records // 2000)
    n_classes = max(1, n_records // 500)
    module_ids = ids[:n_modules]
    class_ids = ids[n_modules:n_modules + n_classes]
    class_dict_ids = ids[n_modules + n_classes:n_modules + 2 * n_classes]
    chain_ids = ids[n_modules + 2 * n_classes:n_modules + 2 * n_classes + chain_length]
    rest = ids[n_modules + 2 * n_classes + chain_length:]
    leaves = rest[: len(rest) * 3 // 5]
    containers = rest[len(rest) * 3 // 5:]

    def emit(id_, type_, refs, size, value=None):
        record = {"id": id_, "type": type_, "references": refs, "value": value, "size": size}
        return (json.dumps(record, separators=(",", ":")) + "\n").encode()

    for i, mid in enumerate(module_ids):
        refs = rng.sample(class_ids, min(5, len(class_ids))) + rng.sample(module_ids, min(3, len(module_ids)))
        refs += rng.sample(containers, min(10, len(containers))) if containers else []
        yield emit(mid, "builtins.module", refs, 72, f"module_{i}")
    for cid, did in zip(class_ids, class_dict_ids):
        yield emit(cid, "builtins.type", [did, rng.choice(module_ids)], 1064, f"Class{cid & 0xFFFF}")
        refs = [cid] + (rng.sample(containers, min(6, len(containers))) if containers else [])
        yield emit(did, "builtins.dict", refs, 1176)
    for k, xid in enumerate(chain_ids):
        nxt = [chain_ids[k + 1]] if k + 1 < len(chain_ids) else []
        yield emit(xid, "__main__.Node", nxt + ([rng.choice(leaves)] if leaves else []), 56)
    for k, lid in enumerate(leaves):
        if k % 2:
            yield emit(lid, "builtins.str", [], 49 + rng.randrange(40), "s%d" % k)
        else:
            yield emit(lid, "builtins.int", [], 28, str(k))
    huge = set(rng.sample(containers, min(3, len(containers))))
    for k, oid in enumerate(containers):
        if oid in huge:
            refs = rng.sample(leaves, min(len(leaves), 20000)) if leaves else []
            yield emit(oid, "builtins.list", refs, 8 * len(refs) + 56)
            continue
        kind = k % 4
        n = rng.randrange(1, 12)
        refs = [rng.choice(leaves) for _ in range(n)] if leaves else []
        if rng.random() < 0.3 and containers:
            refs.append(rng.choice(containers))  # containers of containers, some cycles
        if rng.random() < 0.05:
            refs.append(rng.choice(class_ids))
        if kind == 0:
            yield emit(oid, "builtins.dict", refs, 232 + 24 * n)
        elif kind == 1:
            yield emit(oid, "builtins.list", refs, 56 + 8 * n)
        elif kind == 2:
            yield emit(oid, "builtins.tuple", refs, 40 + 8 * n)
        else:
            yield emit(oid, "__main__.Order", refs, 56)


def chain(n_records):
    """A single reference chain n_records deep."""
    for k in range(n_records):
        refs = [k + 1] if k + 1 < n_records else []
        yield ('{"id":%d,"type":"__main__.Node","references":%s,"value":null,"size":56}\n'
               % (k, json.dumps(refs))).encode()


def single_cycle(n_records):
    """One strongly connected component of n_records nodes (a ring)."""
    for k in range(n_records):
        yield ('{"id":%d,"type":"__main__.Node","references":[%d],"value":null,"size":56}\n'
               % (k, (k + 1) % n_records)).encode()


def write(path, lines):
    with open(path, "wb") as out:
        for line in lines:
            out.write(line)
