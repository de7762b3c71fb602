#include "queries/type_listings.h"

#include "queries/object_lookup.h"
#include "storage/databases.h"

namespace vossick {

namespace {

Result<std::vector<ObjectSummary>> list_page(const Explorer& explorer, MDB_dbi dbi, const Type& type,
                                             std::optional<uint64_t> page, bool size_entries,
                                             StopCheck& stop) {
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
  return get_summaries_for_ids(txn, explorer.dbs(), ids, stop);
}

}  // namespace

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
                                                       std::optional<uint64_t> page, StopCheck& stop) {
  return list_page(explorer, explorer.dbs().types, type, page, /*size_entries=*/false, stop);
}

Result<std::vector<ObjectSummary>> get_objects_by_type_ordered_by_size(const Explorer& explorer, const Type& type,
                                                                       bool subtree_size,
                                                                       std::optional<uint64_t> page,
                                                                       StopCheck& stop) {
  const Databases& dbs = explorer.dbs();
  return list_page(explorer, subtree_size ? dbs.types_subtree_size_index : dbs.types_size_index, type, page,
                   /*size_entries=*/true, stop);
}

}  // namespace vossick
