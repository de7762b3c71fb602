#include "subtree_sizes/subtree_size_writer.h"

#include <algorithm>

#include "records/canonical_record.h"
#include "storage/primary.h"
#include "subtree_sizes/scc_size_visitor.h"

namespace vossick {

Status KeyOrderedSubtreeSizeWriter::write(uint64_t member_id, uint64_t estimate) {
  if (failed_) return *failed_;
  updates_.push_back(Update{member_id, estimate, static_cast<uint32_t>(updates_.size())});
  return updates_.size() >= batch_size_ ? flush() : ok_status();
}

Status KeyOrderedSubtreeSizeWriter::flush() {
  if (failed_) return *failed_;
  if (updates_.empty()) return ok_status();
  Status status = apply();
  updates_.clear();
  texts_.clear();
  if (texts_.capacity() > 2 * max_text_bytes_) std::string().swap(texts_);
  entries_.clear();
  types_.clear();
  if (!status.ok()) failed_ = status.error();
  return status;
}

// Reads and rewrites every held record, walking `primary` in key order. A
// missing or undecodable record stops nothing here: all are checked, and the
// one emitted first is the failure (whether a record fails does not depend on
// the order, since the pass rewrites each record only once, under its own
// key). False, with nothing written, if a record names an id other than its
// key (its rewrite lands under another key, which a later get may read), or
// if the rewritten records outgrow max_text_bytes_.
Result<bool> KeyOrderedSubtreeSizeWriter::prepare_in_key_order() {
  std::sort(updates_.begin(), updates_.end(), [](const Update& a, const Update& b) {
    return a.member_id != b.member_id ? a.member_id < b.member_id : a.sequence < b.sequence;
  });
  std::optional<std::pair<uint32_t, Error>> first_failure;
  const auto note = [&](uint32_t sequence, Error error) {
    if (!first_failure || sequence < first_failure->first) first_failure.emplace(sequence, std::move(error));
  };
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(write_txn_, dbs_.primary));
  for (Update& update : updates_) {
    VOSSICK_ASSIGN_OR_RETURN(auto stored, cursor.get(MDB_SET_KEY, id_key(encode_id(update.member_id))));
    if (!stored) {
      note(update.sequence, missing_record_error(update.member_id));
      continue;
    }
    // A canonical value is rewritten by splicing in the new subtree size,
    // which gives what decoding it and writing it anew would.
    const std::string_view value = stored->second;
    const std::optional<CanonicalRecordView> canonical = scan_canonical_record(value);
    if (!canonical) {
      Status decoded = decode_stored_record(value, record_);
      if (!decoded.ok()) {
        note(update.sequence, decoded.error());
        continue;
      }
    }
    if ((canonical ? canonical->id : record_.id) != update.member_id) return false;
    if (first_failure) continue;
    update.offset = texts_.size();
    if (canonical) {
      append_with_subtree_size(value, *canonical, update.estimate, texts_);
    } else {
      record_.subtree_size = update.estimate;
      write_record(record_, texts_);
    }
    update.length = texts_.size() - update.offset;
    if (texts_.size() > max_text_bytes_) return false;
    const SizeIndexEntry entry{update.estimate, update.member_id};
    const std::string_view type = canonical ? canonical->type : std::string_view(record_.type);
    entries_.push_back(SizeEntryPut{types_.number(type), entry});
  }
  if (first_failure) return std::move(first_failure->second);
  return true;
}

Status KeyOrderedSubtreeSizeWriter::apply() {
  VOSSICK_ASSIGN_OR_RETURN(bool prepared, prepare_in_key_order());
  if (!prepared) return write_in_emit_order();
  {
    VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(write_txn_, dbs_.primary));
    const std::string_view texts = texts_;
    for (const Update& update : updates_) {
      VOSSICK_TRY(cursor.put(id_key(encode_id(update.member_id)), texts.substr(update.offset, update.length)));
    }
  }
  return put_size_entries_in_key_order(write_txn_, dbs_.types_subtree_size_index, entries_, types_);
}

Status KeyOrderedSubtreeSizeWriter::write_in_emit_order() {
  std::sort(updates_.begin(), updates_.end(), [](const Update& a, const Update& b) { return a.sequence < b.sequence; });
  SubtreeSizeWriter writer(dbs_, write_txn_);
  for (const Update& update : updates_) VOSSICK_TRY(writer.write(update.member_id, update.estimate));
  return ok_status();
}

}  // namespace vossick
