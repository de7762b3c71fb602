#include "import/record_puts.h"

#include <utility>

#include "storage/primary.h"

namespace vossick {

Result<ImportCursors> ImportCursors::open(const Transaction& txn, const Databases& dbs) {
  VOSSICK_ASSIGN_OR_RETURN(Cursor primary, Cursor::open(txn, dbs.primary));
  VOSSICK_ASSIGN_OR_RETURN(Cursor referrers, Cursor::open(txn, dbs.referrers));
  VOSSICK_ASSIGN_OR_RETURN(Cursor types, Cursor::open(txn, dbs.types));
  VOSSICK_ASSIGN_OR_RETURN(Cursor size_index, Cursor::open(txn, dbs.types_size_index));
  VOSSICK_ASSIGN_OR_RETURN(Cursor labels, Cursor::open(txn, dbs.reference_labels));
  VOSSICK_ASSIGN_OR_RETURN(Cursor sites, Cursor::open(txn, dbs.allocation_sites));
  return ImportCursors{std::move(primary), std::move(referrers), std::move(types), std::move(size_index),
                       std::move(labels),  std::move(sites),     {},               {}};
}

namespace {

// put_labels and put_allocation_site, on `annotations`.
Status put_annotation(Cursor& annotations, Cursor& primary, std::optional<uint64_t>& previous_id, uint64_t id,
                      std::optional<std::string_view> value, uint64_t line) {
  const bool after_same_id = previous_id == id;
  previous_id = id;
  const EncodedId key = encode_id(id);
  if (!value) {
    VOSSICK_ASSIGN_OR_RETURN(auto stored, annotations.get(MDB_SET_KEY, id_key(key)));
    if (stored) return conflicting_record_error(id, line);
    return ok_status();
  }
  VOSSICK_ASSIGN_OR_RETURN(std::optional<std::string_view> stored, annotations.put_unless_present(id_key(key), *value));
  if (stored) {
    if (*stored != *value) return conflicting_record_error(id, line);
    return ok_status();
  }
  // Stored now: right only if no record came before this line (a failure
  // aborts the import, and the put with it).
  bool record_before = after_same_id;
  if (!record_before) {
    VOSSICK_ASSIGN_OR_RETURN(auto stored_record, primary.get(MDB_SET_KEY, id_key(key)));
    record_before = stored_record.has_value();
  }
  if (record_before) return conflicting_record_error(id, line);
  return ok_status();
}

}  // namespace

Status ImportCursors::put_labels(uint64_t id, std::optional<std::string_view> labels, uint64_t line) {
  return put_annotation(this->labels, primary, previous_labels_id, id, labels, line);
}

Status ImportCursors::put_allocation_site(uint64_t id, std::optional<std::string_view> site, uint64_t line) {
  return put_annotation(sites, primary, previous_site_id, id, site, line);
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
