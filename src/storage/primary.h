// Object records in `primary`: key the 8-byte little-endian id, value the
// record's canonical compact JSON. A stored value that no longer parses is a
// decoding error ("error while decoding: " + the parser's message).
//
// Thread safety: as the transaction passed in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "records/record.h"
#include "storage/databases.h"
#include "storage/environment.h"

namespace vossick {

// Reads the record of `id` into `out`; returns false when no record exists.
template <class Record>
Result<bool> get_record_into(const Transaction& txn, const Databases& dbs, uint64_t id, Record& out);

template <class Record>
Result<std::optional<Record>> get_record(const Transaction& txn, const Databases& dbs, uint64_t id) {
  Record record;
  VOSSICK_ASSIGN_OR_RETURN(bool found, get_record_into(txn, dbs, id, record));
  if (!found) return std::optional<Record>();
  return std::optional<Record>(std::move(record));
}

// Where a record was missed. Each caller reports it in its own text, and
// each text is part of the module's public contract (Python callers match
// on them), so all are built here, by missing_record_error:
enum class MissingRecordIn {
  // get_summary, for object lookups and listings: the decoding error
  // "error while decoding: Decoding error: Missing record for ID 5".
  kSummary,
  // The path search: the plain message "Decoding error: Missing record for ID 5".
  kPathSearch,
  // The post-import pass: the decoding error "error while decoding: Missing
  // record for node ID 5".
  kPostImportPass,
};
Error missing_record_error(uint64_t id, MissingRecordIn where);

// Parses a stored value, mapping parse errors to decoding errors.
template <class Record>
Status decode_stored_record(std::string_view bytes, Record& out);

// Whether the stored record `stored` and the canonical `text` of a record
// (write_record's output) differ in nothing but their subtree_size; a
// decoding error when `stored` no longer parses.
Result<bool> same_but_subtree_size(std::string_view stored, std::string_view text);

// Puts the canonical `text` of a record under `id` through `cursor`, a
// cursor on `primary` (a Cursor, or anything with its put_unless_present()
// and put()), unless a record that differs in more than its `subtree_size`
// is stored there; one that does not is replaced, as any put replaces.
// Returns false, with nothing written, on such a conflict, and a decoding
// error when the stored value no longer parses.
template <class AnyCursor>
Result<bool> put_record_unless_conflicting(AnyCursor& cursor, uint64_t id, std::string_view text) {
  const EncodedId key = encode_id(id);
  VOSSICK_ASSIGN_OR_RETURN(std::optional<std::string_view> stored, cursor.put_unless_present(id_key(key), text));
  if (!stored) return true;
  VOSSICK_ASSIGN_OR_RETURN(bool same, same_but_subtree_size(*stored, text));
  if (!same) return false;
  VOSSICK_TRY(cursor.put(id_key(key), text));
  return true;
}

// Walks `primary` in ascending id order; values are decoded only on demand.
class PrimaryScan {
 public:
  static Result<PrimaryScan> open(const Transaction& txn, const Databases& dbs);

  // Advances to the next record; false at the end.
  Result<bool> next();
  uint64_t current_id() const noexcept { return current_id_; }
  std::string_view current_value() const noexcept { return current_value_; }

 private:
  explicit PrimaryScan(Cursor cursor) : cursor_(std::move(cursor)) {}

  Cursor cursor_;
  bool started_ = false;
  uint64_t current_id_ = 0;
  std::string_view current_value_;
};

}  // namespace vossick
