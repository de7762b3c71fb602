#include "queries/object_lookup.h"

#include "storage/primary.h"

namespace vossick {

namespace {

Error missing_record(uint64_t id) {
  return Error::decoding("Decoding error: Missing record for ID " + std::to_string(id));
}

// Walks the duplicates of `key`, skipping `offset` of them undecoded and
// handing at most `limit` to `take` (all when no limit).
template <class Take>
Status walk_duplicates(const Transaction& txn, MDB_dbi dbi, std::string_view key, uint64_t offset,
                       std::optional<uint64_t> limit, Take&& take) {
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbi));
  VOSSICK_ASSIGN_OR_RETURN(auto value, cursor.first_duplicate(key));
  uint64_t taken = 0;
  for (uint64_t position = 0; value; ++position) {
    if (position >= offset) {
      if (limit && taken == *limit) break;
      VOSSICK_TRY(take(*value));
      ++taken;
    }
    VOSSICK_ASSIGN_OR_RETURN(value, cursor.next_duplicate());
  }
  return ok_status();
}

Result<std::vector<ObjectSummary>> list_page(const Explorer& explorer, MDB_dbi dbi, const Type& type,
                                             std::optional<uint64_t> page, bool size_entries) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  uint64_t offset = 0;
  // A page whose offset does not fit in 64 bits lies past every sequence.
  if (page && __builtin_mul_overflow(*page, kPageSize, &offset)) return std::vector<ObjectSummary>();
  const std::optional<uint64_t> limit = page ? std::optional<uint64_t>(kPageSize) : std::nullopt;
  std::vector<uint64_t> ids;
  VOSSICK_TRY(walk_duplicates(txn, dbi, type.encoded(), offset, limit, [&](std::string_view bytes) -> Status {
    if (size_entries) {
      VOSSICK_ASSIGN_OR_RETURN(SizeIndexEntry entry, decode_size_index_entry(bytes));
      ids.push_back(entry.id);
    } else {
      VOSSICK_ASSIGN_OR_RETURN(uint64_t id, decode_id(bytes));
      ids.push_back(id);
    }
    return ok_status();
  }));
  return get_summaries_for_ids(txn, explorer.dbs(), ids);
}

}  // namespace

Result<ObjectSummary> get_summary(const Transaction& txn, const Databases& dbs, uint64_t id) {
  ObjectSummary summary;
  VOSSICK_ASSIGN_OR_RETURN(bool found, get_record_into(txn, dbs, id, summary));
  if (!found) return missing_record(id);
  return summary;
}

Result<std::vector<ObjectSummary>> get_summaries_for_ids(const Transaction& txn, const Databases& dbs,
                                                         std::span<const uint64_t> ids) {
  std::vector<ObjectSummary> summaries;
  summaries.reserve(ids.size());
  for (uint64_t id : ids) {
    VOSSICK_ASSIGN_OR_RETURN(ObjectSummary summary, get_summary(txn, dbs, id));
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

Result<std::optional<ObjectRecord>> get_object(const Explorer& explorer, uint64_t id) {
  const Databases& dbs = explorer.dbs();
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  RawObjectRecord raw;
  VOSSICK_ASSIGN_OR_RETURN(bool found, get_record_into(txn, dbs, id, raw));
  if (!found) return std::optional<ObjectRecord>();

  std::vector<uint64_t> referrer_ids;
  VOSSICK_TRY(walk_duplicates(txn, dbs.referrers, id_key(encode_id(id)), 0, std::nullopt,
                              [&](std::string_view bytes) -> Status {
                                VOSSICK_ASSIGN_OR_RETURN(uint64_t referrer, decode_id(bytes));
                                referrer_ids.push_back(referrer);
                                return ok_status();
                              }));
  ObjectRecord record;
  VOSSICK_ASSIGN_OR_RETURN(record.referrers, get_summaries_for_ids(txn, dbs, referrer_ids));
  VOSSICK_ASSIGN_OR_RETURN(record.references, get_summaries_for_ids(txn, dbs, raw.references));
  record.id = raw.id;
  record.type = std::move(raw.type);
  record.value = std::move(raw.value);
  record.size = raw.size;
  record.subtree_size = raw.subtree_size;
  return std::optional<ObjectRecord>(std::move(record));
}

Result<std::vector<std::pair<Type, TypeSummary>>> get_type_summaries(const Explorer& explorer) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, explorer.dbs().type_summaries));
  std::vector<std::pair<Type, TypeSummary>> rows;
  for (MDB_cursor_op op = MDB_FIRST;; op = MDB_NEXT) {
    VOSSICK_ASSIGN_OR_RETURN(auto entry, cursor.get(op));
    if (!entry) break;
    VOSSICK_ASSIGN_OR_RETURN(Type type, decode_type(entry->first));
    VOSSICK_ASSIGN_OR_RETURN(TypeSummary summary, decode_type_summary(entry->second));
    rows.emplace_back(std::move(type), summary);
  }
  return rows;
}

Result<uint64_t> get_count_for_type(const Explorer& explorer, const Type& type) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  VOSSICK_ASSIGN_OR_RETURN(auto summary, get_type_summary(txn, explorer.dbs(), type.encoded()));
  return summary ? summary->count : 0;
}

Result<uint64_t> get_page_count_for_type(const Explorer& explorer, const Type& type) {
  VOSSICK_ASSIGN_OR_RETURN(uint64_t count, get_count_for_type(explorer, type));
  return count / kPageSize + (count % kPageSize != 0 ? 1 : 0);
}

Result<std::vector<ObjectSummary>> get_objects_by_type(const Explorer& explorer, const Type& type,
                                                       std::optional<uint64_t> page) {
  return list_page(explorer, explorer.dbs().types, type, page, /*size_entries=*/false);
}

Result<std::vector<ObjectSummary>> get_objects_by_type_ordered_by_size(const Explorer& explorer,
                                                                       const Type& type, bool subtree_size,
                                                                       std::optional<uint64_t> page) {
  const Databases& dbs = explorer.dbs();
  return list_page(explorer, subtree_size ? dbs.types_subtree_size_index : dbs.types_size_index, type, page,
                   /*size_entries=*/true);
}

}  // namespace vossick
