"""A small real program whose heap the demonstration dumps.

It parses a batch of JSON documents into objects, keeps them in a cache keyed by
name, builds an index with back references (cycles), and then writes a heap
dump of itself with vossick_dump.
"""
import json
import sys
from collections import OrderedDict
from dataclasses import dataclass, field

import vossick_dump


@dataclass
class Order:
    order_id: int
    customer: "Customer"
    lines: list = field(default_factory=list)
    total: float = 0.0


@dataclass
class Customer:
    name: str
    orders: list = field(default_factory=list)


def build_state(n_customers=2000, orders_per_customer=5):
    cache = OrderedDict()
    documents = []
    for c in range(n_customers):
        customer = Customer(name=f"customer-{c:05d}")
        for o in range(orders_per_customer):
            doc = json.dumps({"id": c * 100 + o, "items": [{"sku": f"SKU{k}", "qty": k} for k in range(o + 1)]})
            documents.append(doc)
            parsed = json.loads(doc)
            order = Order(order_id=parsed["id"], customer=customer, lines=parsed["items"])
            order.total = sum(item["qty"] * 9.99 for item in order.lines)
            customer.orders.append(order)  # customer <-> order cycle
        cache[customer.name] = customer
    big_blob = bytearray(2_000_000)  # one large object to find
    return {"cache": cache, "documents": documents, "blob": big_blob}


if __name__ == "__main__":
    state = build_state()
    count = vossick_dump.dump_to_path(sys.argv[1])
    print(f"sample program: dumped {count} objects to {sys.argv[1]}")
