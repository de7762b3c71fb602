#include "import/record_puts.h"

#include <utility>

namespace vossick {

Result<ImportCursors> open_import_cursors(const Transaction& txn, const Databases& dbs) {
  return ImportCursors::open(dbs, [&](MDB_dbi dbi) { return Cursor::open(txn, dbi); });
}

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
