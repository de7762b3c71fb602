#include "storage/primary.h"

#include "records/canonical_record.h"
#include "records/record_parser.h"

namespace vossick {

// Stored values are written canonically, so the fast path nearly always
// decodes them; anything else, damaged values included, goes to the general
// parser, which owns the error messages.
namespace {

constexpr std::string_view kSubtreeSizeMember = ",\"subtree_size\":";

// A text written by write_record, up to its subtree_size value. The member
// comes last and write_record gives every record one text, so two records
// agree in all but their subtree_size exactly when these bytes are equal.
std::string_view up_to_subtree_size(std::string_view text) {
  return text.substr(0, text.rfind(kSubtreeSizeMember) + kSubtreeSizeMember.size());
}

}  // namespace

Error missing_record_error(uint64_t id, MissingRecordIn where) {
  switch (where) {
    case MissingRecordIn::kSummary:
      return Error::decoding("Decoding error: Missing record for ID " + std::to_string(id));
    case MissingRecordIn::kPathSearch:
      return Error::message("Decoding error: Missing record for ID " + std::to_string(id));
    case MissingRecordIn::kPostImportPass: return Error::decoding("Missing record for node ID " + std::to_string(id));
  }
  return Error::panic("missing_record_error: unknown caller");
}

template <class Record>
Status decode_stored_record(std::string_view bytes, Record& out) {
  if (decode_canonical_record(bytes, out)) [[likely]]
    return ok_status();
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

Result<bool> same_but_subtree_size(std::string_view stored, std::string_view text) {
  if (std::optional<CanonicalRecordView> view = scan_canonical_record(stored)) {
    return stored.substr(0, view->subtree_size_offset) == up_to_subtree_size(text);
  }
  // Not in the subset the scanner knows (or not canonical at all).
  RawObjectRecord stored_record;
  RawObjectRecord record;
  VOSSICK_TRY(decode_stored_record(stored, stored_record));
  VOSSICK_TRY(parse_record(text, record));
  stored_record.subtree_size = record.subtree_size = std::nullopt;
  return stored_record == record;
}

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
