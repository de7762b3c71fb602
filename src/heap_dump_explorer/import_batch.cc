#include "heap_dump_explorer/import_batch.h"

#include <algorithm>

namespace vossick {

namespace {

template <class T>
void release_if_above(std::vector<T>& v, size_t max_bytes) {
  if (v.capacity() * sizeof(T) > max_bytes) std::vector<T>().swap(v);
}

}  // namespace

void KeyOrderedBatch::add(const RawObjectRecord& record, std::string_view text) {
  primary_.push_back(RecordPut{record.id, static_cast<uint32_t>(primary_.size()), records_.size(), text.size()});
  records_.append(text);
  for (uint64_t referenced : record.references) edges_.push_back(ReverseEdge{referenced, record.id});
  const uint32_t type = types_.number(record.type);
  const SizeIndexEntry entry{record.size, record.id};
  type_ids_.push_back(TypeIdPut{type, record.id});
  size_entries_.push_back(SizeEntryPut{type, entry});
}

size_t KeyOrderedBatch::held_bytes() const noexcept {
  return records_.size() + primary_.size() * sizeof(RecordPut) + edges_.size() * sizeof(ReverseEdge) +
         type_ids_.size() * sizeof(TypeIdPut) + size_entries_.size() * sizeof(SizeEntryPut);
}

Status KeyOrderedBatch::apply(const Transaction& txn, const Databases& dbs, const BatchLimits& limits) {
  struct Clear {
    KeyOrderedBatch& batch;
    const BatchLimits& limits;
    ~Clear() { batch.clear(limits); }
  } clear_on_exit{*this, limits};

  std::sort(primary_.begin(), primary_.end(), [](const RecordPut& a, const RecordPut& b) {
    return a.id != b.id ? a.id < b.id : a.sequence < b.sequence;
  });
  {
    VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbs.primary));
    for (const RecordPut& put : primary_) {
      VOSSICK_TRY(cursor.put(id_key(encode_id(put.id)), std::string_view(records_).substr(put.offset, put.length)));
    }
  }

  std::sort(edges_.begin(), edges_.end(), [](const ReverseEdge& a, const ReverseEdge& b) {
    return a.referenced != b.referenced ? a.referenced < b.referenced
                                        : id_bytes_order(a.referrer) < id_bytes_order(b.referrer);
  });
  {
    VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbs.referrers));
    for (const ReverseEdge& edge : edges_) {
      VOSSICK_TRY(cursor.put(id_key(encode_id(edge.referenced)), id_key(encode_id(edge.referrer))));
    }
  }

  {
    VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbs.types));
    VOSSICK_TRY(put_under_type_and_all_types(
        type_ids_, types_,
        [](const TypeIdPut& a, const TypeIdPut& b) { return id_bytes_order(a.id) < id_bytes_order(b.id); },
        [&](std::string_view name, const TypeIdPut& put) { return cursor.put(name, id_key(encode_id(put.id))); }));
  }
  return put_size_entries_in_key_order(txn, dbs.types_size_index, size_entries_, types_);
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
