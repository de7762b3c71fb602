#include "heap_dump_explorer/primary.h"

#include "heap_dump_explorer/canonical_record.h"

namespace vossick {

// Stored values are written canonically, so the fast path nearly always
// decodes them; anything else, damaged values included, goes to the general
// parser, which owns the error messages.
template <class Record>
Status decode_stored_record(std::string_view bytes, Record& out) {
  if (decode_canonical_record(bytes, out)) [[likely]] return ok_status();
  Status status = parse_record(bytes, out);
  if (!status.ok()) return Error::decoding(status.error().text());
  return ok_status();
}

template <class Record>
Result<bool> get_record_into(const Transaction& txn, const Databases& dbs, uint64_t id, Record& out) {
  VOSSICK_ASSIGN_OR_RETURN(auto bytes, get_value(txn, dbs.primary, id_key(encode_id(id))));
  if (!bytes) return false;
  VOSSICK_TRY(decode_stored_record(*bytes, out));
  return true;
}

template Status decode_stored_record(std::string_view, RawObjectRecord&);
template Status decode_stored_record(std::string_view, ObjectRecordNoValue&);
template Status decode_stored_record(std::string_view, ObjectSummary&);
template Result<bool> get_record_into(const Transaction&, const Databases&, uint64_t, RawObjectRecord&);
template Result<bool> get_record_into(const Transaction&, const Databases&, uint64_t, ObjectRecordNoValue&);
template Result<bool> get_record_into(const Transaction&, const Databases&, uint64_t, ObjectSummary&);

Result<PrimaryScan> PrimaryScan::open(const Transaction& txn, const Databases& dbs) {
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbs.primary));
  return PrimaryScan(std::move(cursor));
}

Result<bool> PrimaryScan::next() {
  VOSSICK_ASSIGN_OR_RETURN(auto entry, cursor_.get(started_ ? MDB_NEXT : MDB_FIRST));
  started_ = true;
  if (!entry) return false;
  VOSSICK_ASSIGN_OR_RETURN(current_id_, decode_id(entry->first));
  current_value_ = entry->second;
  return true;
}

}  // namespace vossick
