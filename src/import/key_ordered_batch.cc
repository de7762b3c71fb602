#include "import/key_ordered_batch.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "import/record_puts.h"

namespace vossick {

namespace {

template <class T>
void release_if_above(std::vector<T>& v, size_t max_bytes) {
  if (v.capacity() * sizeof(T) > max_bytes) std::vector<T>().swap(v);
}

}  // namespace

struct KeyOrderedBatch::Holder {
  KeyOrderedBatch& batch;

  Status put_record(uint64_t id, std::string_view text, uint64_t line) {
    batch.primary_.push_back(RecordPut{id, line, batch.records_.size(), text.size()});
    batch.records_.append(text);
    return ok_status();
  }
  Status put_reverse_edge(uint64_t referenced_id, uint64_t referrer_id) {
    batch.edges_.push_back(ReverseEdge{referenced_id, referrer_id});
    return ok_status();
  }
  // Filed under "All Types" as well when applied.
  Status put_under_type(std::string_view type, const SizeIndexEntry& entry) {
    const uint32_t number = batch.types_.number(type);
    batch.type_ids_.push_back(TypeIdPut{number, entry.id});
    batch.size_entries_.push_back(SizeEntryPut{number, entry});
    return ok_status();
  }
};

void KeyOrderedBatch::add(const RawObjectRecord& record, std::string_view text, uint64_t line) {
  Holder holder{*this};
  (void)replay_record_puts(record, text, line, holder).ok();  // holding cannot fail
}

size_t KeyOrderedBatch::held_bytes() const noexcept {
  return records_.size() + primary_.size() * sizeof(RecordPut) + edges_.size() * sizeof(ReverseEdge) +
         type_ids_.size() * sizeof(TypeIdPut) + size_entries_.size() * sizeof(SizeEntryPut);
}

Status KeyOrderedBatch::apply(const Transaction& txn, const Databases& dbs, const BatchLimits& limits,
                              uint64_t& failed_line) {
  struct Clear {
    KeyOrderedBatch& batch;
    const BatchLimits& limits;
    ~Clear() { batch.clear(limits); }
  } clear_on_exit{*this, limits};
  VOSSICK_ASSIGN_OR_RETURN(ImportCursors cursors, open_import_cursors(txn, dbs));

  // The puts of one id keep their input order, so each line meets what the
  // lines before it left, as in input order, and the first conflicting line
  // of each id is found; the first of those in input order is the failure.
  std::sort(primary_.begin(), primary_.end(),
            [](const RecordPut& a, const RecordPut& b) { return a.id != b.id ? a.id < b.id : a.line < b.line; });
  std::optional<std::pair<uint64_t, Error>> first_failure;
  for (const RecordPut& put : primary_) {
    if (first_failure && put.line > first_failure->first) continue;
    Status stored = cursors.put_record(put.id, std::string_view(records_).substr(put.offset, put.length), put.line);
    if (stored.ok()) continue;
    if (stored.error().kind() == ErrorKind::kStorage) return stored;
    first_failure.emplace(put.line, std::move(stored).error());
  }
  if (first_failure) {
    failed_line = first_failure->first;
    return std::move(first_failure->second);
  }

  std::sort(edges_.begin(), edges_.end(), [](const ReverseEdge& a, const ReverseEdge& b) {
    return a.referenced != b.referenced ? a.referenced < b.referenced
                                        : id_bytes_order(a.referrer) < id_bytes_order(b.referrer);
  });
  for (const ReverseEdge& edge : edges_) VOSSICK_TRY(cursors.put_reverse_edge(edge.referenced, edge.referrer));

  VOSSICK_TRY(put_under_type_and_all_types(
      type_ids_, types_,
      [](const TypeIdPut& a, const TypeIdPut& b) { return id_bytes_order(a.id) < id_bytes_order(b.id); },
      [&](std::string_view name, const TypeIdPut& put) { return put_type_id(cursors.types, name, put.id); }));
  return put_size_entries_in_key_order(cursors.size_index, size_entries_, types_);
}

void KeyOrderedBatch::clear(const BatchLimits& limits) {
  records_.clear();
  primary_.clear();
  edges_.clear();
  type_ids_.clear();
  size_entries_.clear();
  types_.clear();
  if (records_.capacity() > limits.max_bytes) std::string().swap(records_);
  release_if_above(primary_, limits.max_bytes);
  release_if_above(edges_, limits.max_bytes);
  release_if_above(type_ids_, limits.max_bytes);
  release_if_above(size_entries_, limits.max_bytes);
}

}  // namespace vossick
