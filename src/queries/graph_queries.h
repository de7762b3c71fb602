// Graph queries over the stored reference graph: one shortest reference path
// between two objects (breadth first, pruned by subtree sizes when present),
// and the largest object reachable from both of two objects (best first over
// subtree sizes). Both follow references forwards only, never enter an object
// of type "builtins.module" met as a reference, and read every record as
// ObjectRecordNoValue inside one read-only transaction per call.
//
// Their error texts, and the order in which they settle ties (the stored
// order of references; the heap procedures below), are part of the module's
// public contract.
//
// Thread safety: any number of searches may run at once, beside one writer;
// each call's state is its own. The heap helpers operate on the caller's
// vector only.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "base/result.h"
#include "base/stop_check.h"
#include "records/record.h"
#include "storage/databases.h"
#include "storage/environment.h"
#include "storage/explorer.h"

namespace vossick {

// Optional counters a caller may ask a search to keep.
struct SearchStats {
  uint64_t records_read = 0;  // point reads of `primary` (present or absent)
};

// One chain of references from `start_id` to `end_id`, first element the start
// object; empty when no chain exists. The start object is used even when it is
// avoided or a module. Fails with "Start ID {} not found in database",
// "End ID {} not found in database", or missing_record_error(id,
// MissingRecordIn::kPathSearch) when an expanded object references an id
// without a record; storage and decoding errors pass through. A search that
// finds nothing reads every object it can reach: it polls `stop`.
Result<std::optional<std::vector<ObjectSummary>>> find_path_between_objects(
    const Explorer& explorer, uint64_t start_id, uint64_t end_id, const std::unordered_set<uint64_t>& avoiding_ids,
    StopCheck& stop, SearchStats* stats = nullptr);

// The id of the first object taken from the queue on both sides, or empty when
// the two objects reach nothing in common. Needs subtree sizes: fails with
// "No subtree size in {}" for an object that has none, and with
// "Object ID {} not found in database" for a start or referenced id without a
// record. `obj_id1` is examined completely before `obj_id2` is read. Polls
// `stop`, as the path search does.
Result<std::optional<uint64_t>> find_largest_common_reachable_object(const Explorer& explorer, uint64_t obj_id1,
                                                                     uint64_t obj_id2, StopCheck& stop,
                                                                     SearchStats* stats = nullptr);

namespace internal {

// An entry of the common-object search's priority queue. Only `subtree_size`
// orders items; equal keys are settled by where heap_push / heap_pop leave them.
struct QueueItem {
  std::vector<uint64_t> references;
  uint64_t id = 0;
  uint64_t subtree_size = 0;
  uint8_t origin = 0;  // 0: descends from obj_id1, 1: from obj_id2
};

// Max-heap on `subtree_size` in an array: root at 0, children of i at 2i+1 and
// 2i+2. Push sifts the new last element up while strictly greater than its
// parent. Pop moves the last element into the root, walks it down to the
// bottom (preferring the right child unless the left is strictly greater) and
// sifts it back up. These two procedures decide the order of equal keys, so
// they must not be replaced by another heap.
void heap_push(std::vector<QueueItem>& heap, QueueItem item);
// Empty when the heap is empty.
std::optional<QueueItem> heap_pop(std::vector<QueueItem>& heap);

// Fails with "No subtree size in {}" when the record has none.
Result<QueueItem> make_queue_item_from_record(ObjectRecordNoValue&& record, uint8_t origin);
// Reads `id` and builds its item; "Object ID {} not found in database" when absent.
Result<QueueItem> make_queue_item(const Transaction& txn, const Databases& dbs, uint64_t id, uint8_t origin,
                                  SearchStats* stats = nullptr);

}  // namespace internal

}  // namespace vossick
