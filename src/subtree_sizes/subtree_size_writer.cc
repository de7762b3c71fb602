#include "subtree_sizes/subtree_size_writer.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "records/canonical_record.h"
#include "records/record_writer.h"
#include "storage/encodings.h"
#include "storage/primary.h"

namespace vossick {

namespace {

// The record's own id and type; the type views the stored value or the
// scratch record, valid until the next write or the next rewrite.
struct RewrittenRecord {
  uint64_t id;
  std::string_view type;
};

// Appends the stored record `value` with `subtree_size` set to `estimate` to
// `out`: a canonical record by splicing in the estimate, which gives what
// decoding it and writing it anew gives; any other by doing that, in
// `scratch`. A record that does not decode is a decoding error.
Result<RewrittenRecord> rewrite_value(std::string_view value, uint64_t estimate, RawObjectRecord& scratch,
                                      std::string& out) {
  if (const std::optional<CanonicalRecordView> canonical = scan_canonical_record(value)) {
    append_with_subtree_size(value, *canonical, estimate, out);
    return RewrittenRecord{canonical->id, canonical->type};
  }
  VOSSICK_TRY(decode_stored_record(value, scratch));
  scratch.subtree_size = estimate;
  write_record(scratch, out);
  return RewrittenRecord{scratch.id, scratch.type};
}

// Reads the record of `id` through `primary`, a cursor on it, and rewrites it
// into `out` as rewrite_value() does. A missing record is the pass's
// missing-record error.
Result<RewrittenRecord> rewrite_record(Cursor& primary, uint64_t id, uint64_t estimate, RawObjectRecord& scratch,
                                       std::string& out) {
  VOSSICK_ASSIGN_OR_RETURN(auto stored, primary.get(MDB_SET_KEY, id_key(encode_id(id))));
  if (!stored) return missing_record_error(id, MissingRecordIn::kPostImportPass);
  return rewrite_value(stored->second, estimate, scratch, out);
}

}  // namespace

Result<SubtreeSizeWriter> SubtreeSizeWriter::open(const Databases& dbs, const Transaction& write_txn) {
  VOSSICK_ASSIGN_OR_RETURN(Cursor primary, Cursor::open(write_txn, dbs.primary));
  VOSSICK_ASSIGN_OR_RETURN(Cursor index, Cursor::open(write_txn, dbs.types_subtree_size_index));
  return SubtreeSizeWriter(std::move(primary), std::move(index));
}

Status SubtreeSizeWriter::write(uint64_t member_id, uint64_t estimate) {
  text_.clear();
  VOSSICK_ASSIGN_OR_RETURN(RewrittenRecord record, rewrite_record(primary_, member_id, estimate, record_, text_));
  type_.assign(record.type);  // the put may move the stored value it views
  // Under the record's own id, which only a damaged database makes differ.
  VOSSICK_TRY(primary_.put(id_key(encode_id(record.id)), text_));
  const SizeIndexEntry entry{estimate, member_id};
  VOSSICK_TRY(put_size_index_entry(index_, type_, entry));
  return put_size_index_entry(index_, kAllTypesName, entry);
}

Status KeyOrderedSubtreeSizeWriter::write(uint64_t member_id, uint64_t estimate) {
  if (failed_) return *failed_;
  updates_.push_back(Update{member_id, estimate, static_cast<uint32_t>(updates_.size())});
  return updates_.size() >= limits_.max_records ? flush() : ok_status();
}

Status KeyOrderedSubtreeSizeWriter::flush() {
  if (failed_) return *failed_;
  if (updates_.empty()) return ok_status();
  Status status = apply();
  updates_.clear();
  texts_.clear();
  if (texts_.capacity() > 2 * limits_.max_bytes) std::string().swap(texts_);
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
// if the rewritten records outgrow limits_.max_bytes.
Result<bool> KeyOrderedSubtreeSizeWriter::prepare_in_key_order() {
  std::sort(updates_.begin(), updates_.end(), [](const Update& a, const Update& b) {
    return a.member_id != b.member_id ? a.member_id < b.member_id : a.sequence < b.sequence;
  });
  std::optional<std::pair<uint32_t, Error>> first_failure;
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(write_txn_, dbs_.primary));
  for (Update& update : updates_) {
    const size_t offset = texts_.size();
    Result<RewrittenRecord> rewritten = rewrite_record(cursor, update.member_id, update.estimate, record_, texts_);
    if (!rewritten.ok()) {
      if (rewritten.error().kind() != ErrorKind::kDecoding) return std::move(rewritten).error();
      if (!first_failure || update.sequence < first_failure->first) {
        first_failure.emplace(update.sequence, std::move(rewritten).error());
      }
      continue;
    }
    if (rewritten.value().id != update.member_id) return false;
    if (first_failure) {
      texts_.resize(offset);
      continue;
    }
    update.offset = offset;
    update.length = texts_.size() - offset;
    if (texts_.size() > limits_.max_bytes) return false;
    const SizeIndexEntry entry{update.estimate, update.member_id};
    entries_.push_back(SizeEntryPut{types_.number(rewritten.value().type), entry});
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
  VOSSICK_ASSIGN_OR_RETURN(Cursor index, Cursor::open(write_txn_, dbs_.types_subtree_size_index));
  return put_size_entries_in_key_order(index, entries_, types_);
}

Status KeyOrderedSubtreeSizeWriter::write_in_emit_order() {
  std::sort(updates_.begin(), updates_.end(), [](const Update& a, const Update& b) { return a.sequence < b.sequence; });
  VOSSICK_ASSIGN_OR_RETURN(SubtreeSizeWriter writer, SubtreeSizeWriter::open(dbs_, write_txn_));
  for (const Update& update : updates_) VOSSICK_TRY(writer.write(update.member_id, update.estimate));
  return ok_status();
}

Status CompactSubtreeSizeWriter::write(uint64_t member_id, uint64_t estimate) {
  if (failed_) return *failed_;
  held_.push_back(Held{member_id, estimate, static_cast<uint32_t>(held_.size())});
  return ok_status();
}

Status CompactSubtreeSizeWriter::flush() {
  if (failed_) return *failed_;
  if (held_.empty()) return ok_status();
  Status status = ok_status();
  Result<bool> compact = write_compact();
  if (!compact.ok() && compact.error().kind() == ErrorKind::kInterrupted) {
    status = std::move(compact).error();
  } else if (!compact.ok() || !compact.value()) {
    status = write_in_batches();
  }
  std::vector<Held>().swap(held_);
  if (!status.ok()) failed_ = status.error();
  return status;
}

Result<bool> CompactSubtreeSizeWriter::write_compact() {
  std::sort(held_.begin(), held_.end(),
            [](const Held& a, const Held& b) { return a.id != b.id ? a.id < b.id : a.sequence < b.sequence; });
  // The records are read from the snapshot: the pass's transaction must not
  // have changed them (the pass writes them only here). A change that shows
  // in the counts is caught; then they are rewritten where they are.
  MDB_stat committed{}, current{}, index_stat{};
  if (int rc = mdb_stat(read_txn_.raw(), dbs_.primary, &committed); rc != 0) return Error::lmdb(rc);
  if (int rc = mdb_stat(write_txn_.raw(), dbs_.primary, &current); rc != 0) return Error::lmdb(rc);
  if (committed.ms_entries != current.ms_entries || committed.ms_leaf_pages != current.ms_leaf_pages ||
      committed.ms_overflow_pages != current.ms_overflow_pages) {
    return false;
  }
  VOSSICK_ASSIGN_OR_RETURN(Transaction nested, Transaction::begin_nested(write_txn_));
  StopPoll poll(stop_, 4096);
  if (int rc = mdb_stat(nested.raw(), dbs_.types_subtree_size_index, &index_stat); rc != 0) return Error::lmdb(rc);
  if (int rc = mdb_drop(nested.raw(), dbs_.primary, 0); rc != 0) return Error::lmdb(rc);
  {
    VOSSICK_ASSIGN_OR_RETURN(PrimaryScan before, PrimaryScan::open(read_txn_, dbs_));
    VOSSICK_ASSIGN_OR_RETURN(Cursor primary, Cursor::open(nested, dbs_.primary));
    size_t next = 0;
    while (true) {
      VOSSICK_ASSIGN_OR_RETURN(bool more, before.next());
      if (!more) break;
      VOSSICK_TRY(poll.poll());
      const uint64_t id = before.current_id();
      const std::string_view value = before.current_value();
      if (next == held_.size() || held_[next].id != id) return false;
      text_.clear();
      Result<RewrittenRecord> rewritten = rewrite_value(value, held_[next].estimate, record_, text_);
      if (!rewritten.ok() || rewritten.value().id != id) return false;
      held_[next].type = types_.number(rewritten.value().type);
      const EncodedId key = encode_id(id);
      VOSSICK_TRY(primary.append(id_key(key), text_, false));
      ++next;
    }
    if (next != held_.size()) return false;
  }
  {
    VOSSICK_ASSIGN_OR_RETURN(Cursor index, Cursor::open(nested, dbs_.types_subtree_size_index));
    const bool append = index_stat.ms_entries == 0;
    // The encoded order: largest size first, then ascending id.
    const auto before = [](const Held& a, const Held& b) {
      return a.estimate != b.estimate ? a.estimate > b.estimate : a.id < b.id;
    };
    std::string_view last_name;
    VOSSICK_TRY(
        put_under_type_and_all_types(held_, types_, before, [&](std::string_view name, const Held& held) -> Status {
          VOSSICK_TRY(poll.poll());
          const SizeIndexEntry entry{held.estimate, held.id};
          if (!append) return put_size_index_entry(index, name, entry);
          const EncodedSizeIndexEntry value = encode_size_index_entry(entry);
          const bool same_key = !last_name.empty() && name == last_name;
          last_name = name;
          return index.append(name, value.view(), same_key);
        }));
  }
  VOSSICK_TRY(nested.commit());
  return true;
}

// Replays what is held in emit order through the key-ordered writer.
Status CompactSubtreeSizeWriter::write_in_batches() {
  std::sort(held_.begin(), held_.end(), [](const Held& a, const Held& b) { return a.sequence < b.sequence; });
  KeyOrderedSubtreeSizeWriter writer(dbs_, write_txn_, limits_);
  for (const Held& held : held_) VOSSICK_TRY(writer.write(held.id, held.estimate));
  return writer.flush();
}

}  // namespace vossick
