// What importing one record writes, described once. For a record read from
// input line L:
//  - `primary`: its canonical text under its id, unless a record that differs
//    in more than its subtree_size is stored there, a conflict that fails the
//    import (conflicting_record_error);
//  - `referrers`: the pair (reference, id) for every reference;
//  - `types` and `types_size_index`: the id, and the SizeIndexEntry {size,
//    id}, under the record's type and under "All Types".
// The import makes these puts in one of two orders (import_session.h): a
// line's puts as the line is read, through ImportCursors, or many lines'
// puts held in a KeyOrderedBatch and made in key order through the same
// cursors. Both replay replay_record_puts.
//
// Thread safety: none; used on the thread that owns the write transaction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "records/record.h"
#include "storage/databases.h"
#include "storage/encodings.h"
#include "storage/environment.h"

namespace vossick {

// Replays the puts of `record` (canonical form `text`, from input line
// `line`) on `puts`, which makes or holds them.
template <class Puts>
Status replay_record_puts(const RawObjectRecord& record, std::string_view text, uint64_t line, Puts& puts) {
  VOSSICK_TRY(puts.put_record(record.id, text, line));
  for (uint64_t referenced : record.references) VOSSICK_TRY(puts.put_reverse_edge(referenced, record.id));
  return puts.put_under_type(record.type, SizeIndexEntry{record.size, record.id});
}

// One cursor on each database an import fills; makes the puts at once.
// Must be destroyed before its transaction ends.
struct ImportCursors {
  Cursor primary;
  Cursor referrers;
  Cursor types;
  Cursor size_index;  // on types_size_index

  static Result<ImportCursors> open(const Transaction& txn, const Databases& dbs);

  // A conflict fails with conflicting_record_error(id, line); a stored record
  // that does not decode, with a decoding error.
  Status put_record(uint64_t id, std::string_view text, uint64_t line);
  Status put_reverse_edge(uint64_t referenced_id, uint64_t referrer_id);
  // The entry's id in `types` and the entry in `types_size_index`, under
  // `type` and under "All Types".
  Status put_under_type(std::string_view type, const SizeIndexEntry& entry);
};

// "conflicting records for object id 1: line 2 of the input differs from the
// record already imported for that id". The text, like "while importing
// line 30,001 of the input" (import_session.h), is part of the module's
// public contract.
Error conflicting_record_error(uint64_t id, uint64_t line);

// "30,001": a line number as the module's messages show it.
std::string line_number_text(uint64_t line);

}  // namespace vossick
