#include "heap_dump_explorer/import_batch.h"

#include <algorithm>
#include <cstring>

namespace vossick {

namespace {

std::string_view bytes_view(const unsigned char* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// Duplicates compare bytewise; ids are stored little-endian, so their byte
// order is that of the byte-swapped value.
uint64_t id_bytes_order(uint64_t id) { return __builtin_bswap64(id); }

template <class T>
void release_if_above(std::vector<T>& v, size_t max_bytes) {
  if (v.capacity() * sizeof(T) > max_bytes) std::vector<T>().swap(v);
}

}  // namespace

uint32_t KeyOrderedBatch::type_number(std::string_view name) {
  if (type_names_.empty()) {
    type_names_.emplace_back(kAllTypesName);
    type_numbers_.emplace(kAllTypesName, 0);
  }
  if (auto it = type_numbers_.find(name); it != type_numbers_.end()) return it->second;
  const auto number = static_cast<uint32_t>(type_names_.size());
  type_names_.emplace_back(name);
  type_numbers_.emplace(name, number);
  return number;
}

void KeyOrderedBatch::add(const RawObjectRecord& record, std::string_view text) {
  primary_.push_back(RecordPut{record.id, static_cast<uint32_t>(primary_.size()), records_.size(), text.size()});
  records_.append(text);
  for (uint64_t referenced : record.references) edges_.push_back(ReverseEdge{referenced, record.id});
  const uint32_t type = type_number(record.type);
  const EncodedSizeIndexEntry entry = encode_size_index_entry({record.size, record.id});
  type_ids_.push_back(TypeIdPut{type, record.id});
  type_ids_.push_back(TypeIdPut{0, record.id});
  size_entries_.push_back(SizeEntryPut{type, entry});
  size_entries_.push_back(SizeEntryPut{0, entry});
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
      const EncodedId key = encode_id(put.id);
      VOSSICK_TRY(cursor.put(bytes_view(key.bytes, kIdBytes), std::string_view(records_).substr(put.offset, put.length)));
    }
  }

  std::sort(edges_.begin(), edges_.end(), [](const ReverseEdge& a, const ReverseEdge& b) {
    return a.referenced != b.referenced ? a.referenced < b.referenced
                                        : id_bytes_order(a.referrer) < id_bytes_order(b.referrer);
  });
  {
    VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbs.referrers));
    for (const ReverseEdge& edge : edges_) {
      const EncodedId key = encode_id(edge.referenced);
      const EncodedId value = encode_id(edge.referrer);
      VOSSICK_TRY(cursor.put(bytes_view(key.bytes, kIdBytes), bytes_view(value.bytes, kIdBytes)));
    }
  }

  // Type keys in LMDB's order: bytewise, a prefix first.
  std::vector<uint32_t> by_name(type_names_.size());
  for (uint32_t i = 0; i < by_name.size(); ++i) by_name[i] = i;
  std::sort(by_name.begin(), by_name.end(),
            [&](uint32_t a, uint32_t b) { return type_names_[a] < type_names_[b]; });
  std::vector<uint32_t> rank(type_names_.size());
  for (uint32_t r = 0; r < by_name.size(); ++r) rank[by_name[r]] = r;

  std::sort(type_ids_.begin(), type_ids_.end(), [&](const TypeIdPut& a, const TypeIdPut& b) {
    return a.type != b.type ? rank[a.type] < rank[b.type] : id_bytes_order(a.id) < id_bytes_order(b.id);
  });
  {
    VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbs.types));
    for (const TypeIdPut& put : type_ids_) {
      const EncodedId value = encode_id(put.id);
      VOSSICK_TRY(cursor.put(type_names_[put.type], bytes_view(value.bytes, kIdBytes)));
    }
  }

  std::sort(size_entries_.begin(), size_entries_.end(), [&](const SizeEntryPut& a, const SizeEntryPut& b) {
    if (a.type != b.type) return rank[a.type] < rank[b.type];
    return std::memcmp(a.entry.bytes, b.entry.bytes, kSizeIndexEntryBytes) < 0;
  });
  {
    VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbs.types_size_index));
    for (const SizeEntryPut& put : size_entries_) {
      VOSSICK_TRY(cursor.put(type_names_[put.type], bytes_view(put.entry.bytes, kSizeIndexEntryBytes)));
    }
  }
  return ok_status();
}

void KeyOrderedBatch::clear(const BatchLimits& limits) {
  records_.clear();
  primary_.clear();
  edges_.clear();
  type_ids_.clear();
  size_entries_.clear();
  type_names_.clear();
  type_numbers_.clear();
  if (records_.capacity() > limits.max_bytes) std::string().swap(records_);
  release_if_above(primary_, limits.max_bytes);
  release_if_above(edges_, limits.max_bytes);
  release_if_above(type_ids_, limits.max_bytes);
  release_if_above(size_entries_, limits.max_bytes);
}

}  // namespace vossick
