"""Digest of every entry of the databases of an environment.

Two environments with equal digests hold the same bytes in every database.
Used to check that an optimisation leaves the stored results unchanged:
import the same dump with the old and the new build and compare.

Usage: python bench/db_digest.py DB_DIR
"""
import hashlib
import sys

import lmdb

DATABASES = [
    (b"primary", dict(integerkey=True)),
    (b"referrers", dict(integerkey=True, dupsort=True, dupfixed=True)),
    (b"types", dict(dupsort=True, dupfixed=True)),
    (b"types_size_index", dict(dupsort=True, dupfixed=True)),
    (b"types_subtree_size_index", dict(dupsort=True, dupfixed=True)),
    (b"type_summaries", {}),
    (b"reference_labels", dict(integerkey=True)),
    (b"allocation_sites", dict(integerkey=True)),
    (b"dominator_tree", dict(integerkey=True)),
    (b"dominated_by_root", {}),
    (b"types_retained_size_index", {}),
    (b"retained_state", {}),
]


def digest(path):
    env = lmdb.open(path, readonly=True, lock=False, max_dbs=16)
    rows = []
    try:
        for name, flags in DATABASES:
            try:
                db = env.open_db(name, create=False, **flags)
            except lmdb.NotFoundError:  # written by an older version
                rows.append(f"{name.decode():<25} (absent)")
                continue
            h = hashlib.sha256()
            count = 0
            with env.begin(db=db) as txn:
                for key, value in txn.cursor():
                    h.update(len(key).to_bytes(4, "little") + key + len(value).to_bytes(4, "little") + value)
                    count += 1
            rows.append(f"{name.decode():<25} {count:>10} entries  {h.hexdigest()[:32]}")
    finally:
        env.close()
    return rows


if __name__ == "__main__":
    print("\n".join(digest(sys.argv[1])))
