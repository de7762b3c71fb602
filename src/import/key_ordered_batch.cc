#include "import/key_ordered_batch.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "storage/primary.h"

namespace vossick {

namespace {

template <class T>
void release_if_above(std::vector<T>& v, size_t max_bytes) {
  if (v.capacity() * sizeof(T) > max_bytes) std::vector<T>().swap(v);
}

}  // namespace

Error conflicting_record_error(uint64_t id, uint64_t line) {
  return Error::message("conflicting records for object id " + std::to_string(id) + ": line " +
                        line_number_text(line) + " of the input differs from the record already imported for that id");
}

std::string line_number_text(uint64_t line) {
  std::string digits = std::to_string(line);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

void KeyOrderedBatch::add(const RawObjectRecord& record, std::string_view text, uint64_t line) {
  primary_.push_back(RecordPut{record.id, line, records_.size(), text.size()});
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

// The puts of one id keep their input order, so each line meets what the
// lines before it left, as in input order, and the first conflicting line
// of each id is found; the first of those in input order is the failure.
Status KeyOrderedBatch::put_records(const Transaction& txn, const Databases& dbs, uint64_t& failed_line) {
  std::sort(primary_.begin(), primary_.end(), [](const RecordPut& a, const RecordPut& b) {
    return a.id != b.id ? a.id < b.id : a.line < b.line;
  });
  std::optional<std::pair<uint64_t, Error>> first_failure;
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbs.primary));
  for (const RecordPut& put : primary_) {
    if (first_failure && put.line > first_failure->first) continue;
    const std::string_view text = std::string_view(records_).substr(put.offset, put.length);
    Result<bool> stored = put_record_unless_conflicting(cursor, put.id, text);
    if (stored.ok() && stored.value()) continue;
    if (!stored.ok() && stored.error().kind() != ErrorKind::kDecoding) return std::move(stored).error();
    first_failure.emplace(put.line, stored.ok() ? conflicting_record_error(put.id, put.line) : stored.error());
  }
  if (!first_failure) return ok_status();
  failed_line = first_failure->first;
  return std::move(first_failure->second);
}

Status KeyOrderedBatch::apply(const Transaction& txn, const Databases& dbs, const BatchLimits& limits,
                              uint64_t& failed_line) {
  struct Clear {
    KeyOrderedBatch& batch;
    const BatchLimits& limits;
    ~Clear() { batch.clear(limits); }
  } clear_on_exit{*this, limits};

  VOSSICK_TRY(put_records(txn, dbs, failed_line));

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
