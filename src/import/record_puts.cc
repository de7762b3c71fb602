#include "import/record_puts.h"

#include <utility>

#include "storage/primary.h"

namespace vossick {

Result<ImportCursors> ImportCursors::open(const Transaction& txn, const Databases& dbs) {
  VOSSICK_ASSIGN_OR_RETURN(Cursor primary, Cursor::open(txn, dbs.primary));
  VOSSICK_ASSIGN_OR_RETURN(Cursor referrers, Cursor::open(txn, dbs.referrers));
  VOSSICK_ASSIGN_OR_RETURN(Cursor types, Cursor::open(txn, dbs.types));
  VOSSICK_ASSIGN_OR_RETURN(Cursor size_index, Cursor::open(txn, dbs.types_size_index));
  return ImportCursors{std::move(primary), std::move(referrers), std::move(types), std::move(size_index)};
}

Status ImportCursors::put_record(uint64_t id, std::string_view text, uint64_t line) {
  VOSSICK_ASSIGN_OR_RETURN(bool stored, put_record_unless_conflicting(primary, id, text));
  if (!stored) return conflicting_record_error(id, line);
  return ok_status();
}

Status ImportCursors::put_reverse_edge(uint64_t referenced_id, uint64_t referrer_id) {
  return vossick::put_reverse_edge(referrers, referenced_id, referrer_id);
}

Status ImportCursors::put_under_type(std::string_view type, const SizeIndexEntry& entry) {
  VOSSICK_TRY(put_type_id(types, type, entry.id));
  VOSSICK_TRY(put_type_id(types, kAllTypesName, entry.id));
  VOSSICK_TRY(put_size_index_entry(size_index, type, entry));
  return put_size_index_entry(size_index, kAllTypesName, entry);
}

Error conflicting_record_error(uint64_t id, uint64_t line) {
  return Error::message("conflicting records for object id " + std::to_string(id) + ": line " + line_number_text(line) +
                        " of the input differs from the record already imported for that id");
}

std::string line_number_text(uint64_t line) {
  std::string digits = std::to_string(line);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

}  // namespace vossick
