#include "queries/graph_queries.h"

#include <algorithm>
#include <deque>
#include <string>
#include <utility>

#include "base/u64_hash_map.h"
#include "queries/object_lookup.h"
#include "storage/primary.h"

namespace vossick {

namespace {

// Records read between two questions to the caller's StopCheck.
constexpr uint32_t kReadsPerStopPoll = 4096;

// Membership only; U64HashMap needs some trivially copyable value.
using IdSet = U64HashMap<uint8_t>;

struct ParentLink {
  uint64_t parent;
  bool has_parent;
};

bool is_module(const ObjectRecordNoValue& record) { return record.type == kModuleTypeName; }

// get_record_into, counted.
Result<bool> read_record(const Transaction& txn, const Databases& dbs, uint64_t id, ObjectRecordNoValue& out,
                         SearchStats* stats) {
  if (stats != nullptr) ++stats->records_read;
  return get_record_into(txn, dbs, id, out);
}

Result<std::vector<ObjectSummary>> rebuild_path(const Transaction& txn, const Databases& dbs,
                                                const U64HashMap<ParentLink>& parents, uint64_t end_id) {
  std::vector<ObjectSummary> path;
  uint64_t id = end_id;
  for (;;) {
    VOSSICK_ASSIGN_OR_RETURN(ObjectSummary summary, get_summary(txn, dbs, id));
    path.push_back(std::move(summary));
    const ParentLink* link = parents.find(id);
    // Every id on the chain was discovered, so its link exists.
    if (link == nullptr) return Error::panic("path search: undiscovered id " + std::to_string(id) + " on a path");
    if (!link->has_parent) break;
    id = link->parent;
  }
  std::reverse(path.begin(), path.end());
  return path;
}

}  // namespace

Result<std::optional<std::vector<ObjectSummary>>> find_path_between_objects(
    const Explorer& explorer, uint64_t start_id, uint64_t end_id, const std::unordered_set<uint64_t>& avoiding_ids,
    StopCheck& stop, SearchStats* stats) {
  using Path = std::optional<std::vector<ObjectSummary>>;
  const Databases& dbs = explorer.dbs();
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));

  // The queue holds decoded records so a dequeued object is expanded without
  // reading it again.
  std::deque<ObjectRecordNoValue> queue;
  ObjectRecordNoValue record;
  VOSSICK_ASSIGN_OR_RETURN(bool found, read_record(txn, dbs, start_id, record, stats));
  if (!found) return Error::message("Start ID " + std::to_string(start_id) + " not found in database");
  queue.push_back(std::move(record));
  VOSSICK_ASSIGN_OR_RETURN(found, read_record(txn, dbs, end_id, record, stats));
  if (!found) return Error::message("End ID " + std::to_string(end_id) + " not found in database");
  const std::optional<uint64_t> end_subtree_size = record.subtree_size;

  U64HashMap<ParentLink> parents;
  parents.try_emplace(start_id, ParentLink{0, false});
  // Modules met as references and objects the size test rejected: skipped
  // before any read from then on.
  IdSet dead_ends;
  StopPoll poll(stop, kReadsPerStopPoll);

  while (!queue.empty()) {
    ObjectRecordNoValue current = std::move(queue.front());
    queue.pop_front();
    // An object whose whole subtree is smaller than the end object cannot
    // reach it. The end object itself passes: equal sizes are not smaller.
    if (current.subtree_size && end_subtree_size && *current.subtree_size < *end_subtree_size) {
      dead_ends.try_emplace(current.id, 0);
      continue;
    }
    if (current.id == end_id) {
      VOSSICK_ASSIGN_OR_RETURN(std::vector<ObjectSummary> path, rebuild_path(txn, dbs, parents, end_id));
      return Path(std::move(path));
    }
    for (uint64_t reference : current.references) {
      if (dead_ends.contains(reference) || avoiding_ids.contains(reference)) continue;
      VOSSICK_TRY(poll.poll());
      VOSSICK_ASSIGN_OR_RETURN(found, read_record(txn, dbs, reference, record, stats));
      if (!found) return missing_record_error(reference, MissingRecordIn::kPathSearch);
      if (is_module(record)) {
        dead_ends.try_emplace(reference, 0);
        continue;
      }
      if (parents.try_emplace(reference, ParentLink{current.id, true}).second) queue.push_back(std::move(record));
    }
  }
  return Path();
}

namespace internal {

void heap_push(std::vector<QueueItem>& heap, QueueItem item) {
  heap.push_back(std::move(item));
  size_t position = heap.size() - 1;
  while (position > 0) {
    const size_t parent = (position - 1) / 2;
    if (heap[position].subtree_size <= heap[parent].subtree_size) break;
    std::swap(heap[position], heap[parent]);
    position = parent;
  }
}

std::optional<QueueItem> heap_pop(std::vector<QueueItem>& heap) {
  if (heap.empty()) return std::nullopt;
  QueueItem moving = std::move(heap.back());
  heap.pop_back();
  if (heap.empty()) return moving;
  std::swap(moving, heap[0]);  // `moving` is now the result; the old last element waits at the root

  // Walk the root's element down to the bottom, shifting the chosen children
  // up, without comparing it on the way.
  QueueItem sinking = std::move(heap[0]);
  const size_t size = heap.size();
  size_t hole = 0;
  size_t child = 1;
  while (child + 1 < size) {
    if (heap[child].subtree_size <= heap[child + 1].subtree_size) ++child;
    heap[hole] = std::move(heap[child]);
    hole = child;
    child = 2 * hole + 1;
  }
  if (child == size - 1) {
    heap[hole] = std::move(heap[child]);
    hole = child;
  }
  // Then sift it up while strictly greater than its parent.
  while (hole > 0) {
    const size_t parent = (hole - 1) / 2;
    if (sinking.subtree_size <= heap[parent].subtree_size) break;
    heap[hole] = std::move(heap[parent]);
    hole = parent;
  }
  heap[hole] = std::move(sinking);
  return moving;
}

Result<QueueItem> make_queue_item_from_record(ObjectRecordNoValue&& record, uint8_t origin) {
  if (!record.subtree_size) return Error::message("No subtree size in " + std::to_string(record.id));
  return QueueItem{std::move(record.references), record.id, *record.subtree_size, origin};
}

Result<QueueItem> make_queue_item(const Transaction& txn, const Databases& dbs, uint64_t id, uint8_t origin,
                                  SearchStats* stats) {
  ObjectRecordNoValue record;
  VOSSICK_ASSIGN_OR_RETURN(bool found, read_record(txn, dbs, id, record, stats));
  if (!found) return Error::message("Object ID " + std::to_string(id) + " not found in database");
  return make_queue_item_from_record(std::move(record), origin);
}

}  // namespace internal

Result<std::optional<uint64_t>> find_largest_common_reachable_object(const Explorer& explorer, uint64_t obj_id1,
                                                                     uint64_t obj_id2, StopCheck& stop,
                                                                     SearchStats* stats) {
  using internal::QueueItem;
  const Databases& dbs = explorer.dbs();
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));

  std::vector<QueueItem> heap;
  VOSSICK_ASSIGN_OR_RETURN(QueueItem first, internal::make_queue_item(txn, dbs, obj_id1, 0, stats));
  internal::heap_push(heap, std::move(first));
  VOSSICK_ASSIGN_OR_RETURN(QueueItem second, internal::make_queue_item(txn, dbs, obj_id2, 1, stats));
  internal::heap_push(heap, std::move(second));

  // Ids already taken from the queue, per origin. Duplicates are not kept out
  // of the queue; they are dropped here when popped.
  IdSet visited[2];
  ObjectRecordNoValue record;
  StopPoll poll(stop, kReadsPerStopPoll);
  while (std::optional<QueueItem> item = internal::heap_pop(heap)) {
    const uint8_t origin = item->origin;
    if (!visited[origin].try_emplace(item->id, 0).second) continue;
    if (visited[1 - origin].contains(item->id)) return std::optional<uint64_t>(item->id);
    for (uint64_t reference : item->references) {
      VOSSICK_TRY(poll.poll());
      VOSSICK_ASSIGN_OR_RETURN(bool found, read_record(txn, dbs, reference, record, stats));
      if (!found) return Error::message("Object ID " + std::to_string(reference) + " not found in database");
      if (is_module(record)) continue;
      VOSSICK_ASSIGN_OR_RETURN(QueueItem next, internal::make_queue_item_from_record(std::move(record), origin));
      internal::heap_push(heap, std::move(next));
    }
  }
  return std::optional<uint64_t>();
}

}  // namespace vossick
