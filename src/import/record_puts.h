// What importing one record writes, described once. For a record read from
// input line L:
//  - `primary`: its canonical text under its id, unless a record that differs
//    in more than its subtree_size is stored there, a conflict that fails the
//    import (conflicting_record_error);
//  - `referrers`: the pair (reference, id) for every reference;
//  - `types` and `types_size_index`: the id, and the SizeIndexEntry {size,
//    id}, under the record's type and under "All Types";
//  - `reference_labels` and `allocation_sites`: the line's labels and site,
//    when it has them. A line whose id has a record from an earlier line must
//    bring the same annotations as that line (none when it had none), or it
//    conflicts as a different record does. These puts are made before the
//    line's `primary` put, and the puts of one id in input order, so that
//    whether a record came before the line is known (put_labels).
// The import makes these puts in one of two orders (import_session.h): a
// line's puts as the line is read, through ImportCursors; many lines' puts
// held in a KeyOrderedBatch and made in key order through the same cursors;
// or, into empty databases, every put held in sorted runs (sorted_runs.h)
// through ImportCursorsOf<HeldCursor> and appended in each database's own
// order. All replay replay_record_puts.
//
// Thread safety: none; used on the thread that owns the write transaction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "records/record.h"
#include "storage/databases.h"
#include "storage/encodings.h"
#include "storage/environment.h"
#include "storage/primary.h"

namespace vossick {

// "conflicting records for object id 1: line 2 of the input differs from the
// record already imported for that id". The text, like "while importing
// line 30,001 of the input" (import_session.h), is part of the module's
// public contract.
Error conflicting_record_error(uint64_t id, uint64_t line);

inline std::optional<std::string_view> optional_view(std::string_view bytes, bool present) {
  return present ? std::optional<std::string_view>(bytes) : std::nullopt;
}

// Replays the puts of `record` (canonical form `text`, from input line
// `line`) on `puts`, which makes or holds them.
template <class Puts>
Status replay_record_puts(const AnnotatedRecord& record, std::string_view text, uint64_t line, Puts& puts) {
  const RecordAnnotations& annotations = record.annotations;
  VOSSICK_TRY(puts.put_labels(record.id, optional_view(annotations.labels, !annotations.labels.empty()), line));
  VOSSICK_TRY(puts.put_allocation_site(
      record.id, optional_view(annotations.allocated_at.value_or(""), annotations.allocated_at.has_value()), line));
  VOSSICK_TRY(puts.put_record(record.id, text, line));
  for (uint64_t referenced : record.references) VOSSICK_TRY(puts.put_reverse_edge(referenced, record.id));
  return puts.put_under_type(record.type, SizeIndexEntry{record.size, record.id});
}

// One cursor on each database an import fills. With Cursor (ImportCursors)
// the puts are made at once; another cursor type (one with Cursor's put()
// and put_unless_present()) receives them instead, to make them later.
// Must be destroyed before its transaction ends.
// put_labels and put_allocation_site made at once, on `annotations`. A cursor
// type that holds puts brings its own overload (found by argument-dependent
// lookup).
Status put_annotation(Cursor& annotations, Cursor& primary, std::optional<uint64_t>& previous_id, uint64_t id,
                      std::optional<std::string_view> value, uint64_t line);

template <class AnyCursor>
struct ImportCursorsOf {
  AnyCursor primary;
  AnyCursor referrers;
  AnyCursor types;
  AnyCursor size_index;  // on types_size_index
  AnyCursor labels;      // on reference_labels
  AnyCursor sites;       // on allocation_sites
  // The id of the previous put_labels and put_allocation_site.
  std::optional<uint64_t> previous_labels_id;
  std::optional<uint64_t> previous_site_id;

  // `open(dbi)` gives the Result<AnyCursor> on one database.
  template <class Open>
  static Result<ImportCursorsOf> open(const Databases& dbs, Open&& open) {
    VOSSICK_ASSIGN_OR_RETURN(AnyCursor primary, open(dbs.primary));
    VOSSICK_ASSIGN_OR_RETURN(AnyCursor referrers, open(dbs.referrers));
    VOSSICK_ASSIGN_OR_RETURN(AnyCursor types, open(dbs.types));
    VOSSICK_ASSIGN_OR_RETURN(AnyCursor size_index, open(dbs.types_size_index));
    VOSSICK_ASSIGN_OR_RETURN(AnyCursor labels, open(dbs.reference_labels));
    VOSSICK_ASSIGN_OR_RETURN(AnyCursor sites, open(dbs.allocation_sites));
    return ImportCursorsOf{std::move(primary), std::move(referrers), std::move(types), std::move(size_index),
                           std::move(labels),  std::move(sites),     {},               {}};
  }

  // A conflict fails with conflicting_record_error(id, line); a stored record
  // that does not decode, with a decoding error.
  Status put_record(uint64_t id, std::string_view text, uint64_t line) {
    VOSSICK_ASSIGN_OR_RETURN(bool stored, put_record_unless_conflicting(primary, id, text));
    if (!stored) return conflicting_record_error(id, line);
    return ok_status();
  }
  Status put_reverse_edge(uint64_t referenced_id, uint64_t referrer_id) {
    return vossick::put_reverse_edge(referrers, referenced_id, referrer_id);
  }
  // The line's labels (encoded) or site, or nothing when it has none. Called
  // for every line before its put_record, the lines of one id in input
  // order: a record stored before the line is then one that `primary` holds,
  // or that the previous call, for the same id, belongs to. A line that
  // differs from that record's fails with conflicting_record_error(id, line).
  Status put_labels(uint64_t id, std::optional<std::string_view> value, uint64_t line) {
    return put_annotation(labels, primary, previous_labels_id, id, value, line);
  }
  Status put_allocation_site(uint64_t id, std::optional<std::string_view> value, uint64_t line) {
    return put_annotation(sites, primary, previous_site_id, id, value, line);
  }
  // The entry's id in `types` and the entry in `types_size_index`, under
  // `type` and under "All Types".
  Status put_under_type(std::string_view type, const SizeIndexEntry& entry) {
    VOSSICK_TRY(put_type_id(types, type, entry.id));
    VOSSICK_TRY(put_type_id(types, kAllTypesName, entry.id));
    VOSSICK_TRY(put_size_index_entry(size_index, type, entry));
    return put_size_index_entry(size_index, kAllTypesName, entry);
  }
};

using ImportCursors = ImportCursorsOf<Cursor>;

Result<ImportCursors> open_import_cursors(const Transaction& txn, const Databases& dbs);

// "30,001": a line number as the module's messages show it.
std::string line_number_text(uint64_t line);

}  // namespace vossick
