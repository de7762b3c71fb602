// The puts of an import into empty databases, held in sorted runs and then
// appended to each database in its own order (MDB_APPEND, MDB_APPENDDUP):
// LMDB fills every page to the brim and never splits one, which is the least
// work and the smallest file LMDB can hold the entries in.
//
// Puts arrive through HeldCursors (one per database, used as the cursors of
// ImportCursorsOf), so whatever record_puts.h describes goes through here,
// for any database, without code of its own. A run is held in memory up to
// its byte budget, then sorted and spilled to the end of a temporary file in
// the environment's directory; apply() merges the runs (the last one too goes
// to the file first when others did, so that the merge holds no run in
// memory beside LMDB's pages), and puts each database's entries in order:
//  - in a database with duplicates, each distinct pair once (a pair put
//    twice is stored once, as puts store it);
//  - in one without, for each key, the value of its last put in input order;
//    a put held through put_unless_present (the record of a line) must agree
//    with the key's first value as same_but_subtree_size says, and bring the
//    same annotations (labels, site) as the key's first line; an annotation
//    must equal the key's first one. Otherwise the first such line in input
//    order fails with conflicting_record_error.
// The order of a database is LMDB's own, which its flags decide: 8-byte
// MDB_INTEGERKEY keys compare as integers, other keys and MDB_DUPSORT values
// as LMDB compares bytes; any other flag falls back on mdb_cmp and mdb_dcmp.
// Puts are held as entries appended to one buffer per database and sorted
// through fixed-size handles whose integer fields decide most comparisons
// (a key's integer, or its rank among the run's distinct keys; the first
// bytes of a duplicate's value).
//
// The temporary file is created 0600 and unlinked at once, so it vanishes
// when closed, whatever ends the import; only a process killed between the
// two calls leaves one behind (named "vossick-import-*"), which the next
// SortedRuns of the environment removes.
//
// Thread safety: none; used on the thread that owns the write transaction,
// which must outlive the SortedRuns.
#pragma once

#include <lmdb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/stop_check.h"
#include "storage/environment.h"

namespace vossick {

class SortedRuns;

// Holds the puts made through it on one database, for ImportCursorsOf.
class HeldCursor {
 public:
  Status put(std::string_view key, std::string_view value);
  // Holds a record put that must agree with the earlier puts of its key
  // (checked when the runs are applied); never reports a present value.
  Result<std::optional<std::string_view>> put_unless_present(std::string_view key, std::string_view value);

 private:
  friend class SortedRuns;
  friend Status put_annotation(HeldCursor& annotations, HeldCursor& primary, std::optional<uint64_t>& previous_id,
                               uint64_t id, std::optional<std::string_view> value, uint64_t line);
  HeldCursor(SortedRuns& runs, uint8_t slot) : runs_(&runs), slot_(slot) {}

  SortedRuns* runs_;
  uint8_t slot_;
};

// ImportCursorsOf's put_labels and put_allocation_site on held puts: the
// annotation, when present, must equal the first of its id; whether it is
// present goes with the line's record put, which must agree on it.
Status put_annotation(HeldCursor& annotations, HeldCursor& primary, std::optional<uint64_t>& previous_id, uint64_t id,
                      std::optional<std::string_view> value, uint64_t line);

class SortedRuns {
 public:
  // Runs of about `run_bytes` (at most 4 GiB) of memory each; spilled runs
  // go to `directory`. Removes what a killed import left there.
  static std::unique_ptr<SortedRuns> create(const Transaction& txn, std::string directory, size_t run_bytes);
  ~SortedRuns();
  SortedRuns(const SortedRuns&) = delete;
  SortedRuns& operator=(const SortedRuns&) = delete;

  Result<HeldCursor> cursor(MDB_dbi dbi);
  // The input line of the puts that follow.
  void set_line(uint64_t line) noexcept { line_ = line; }
  // Bytes written to the temporary file so far.
  uint64_t spilled_bytes() const noexcept { return spilled_bytes_; }

  // Writes every held put through `txn`, whose databases must be empty, and
  // empties the runs either way. A conflict fails with the first
  // conflicting line in input order, set in `failed_line`.
  Status apply(const Transaction& txn, StopCheck& stop, uint64_t& failed_line);
  // Looks for that conflict alone, writing nothing. Nothing may be held
  // after it.
  Status check(StopCheck& stop, uint64_t& failed_line);

 private:
  friend class HeldCursor;
  friend Status put_annotation(HeldCursor&, HeldCursor&, std::optional<uint64_t>&, uint64_t,
                               std::optional<std::string_view>, uint64_t);
  struct Slot;
  struct Entry;
  class Source;
  class MemorySource;
  class FileSource;

  SortedRuns(MDB_txn* txn, std::string directory, size_t run_bytes);

  // `check`: 0 for a plain put, kRecordCheck or kExactCheck.
  Status hold(uint8_t slot, uint8_t check, std::string_view key, std::string_view value);
  size_t held_bytes() const noexcept;
  Status spill();
  void clear() noexcept;
  Status merge(const Transaction* txn, StopCheck& stop, uint64_t& failed_line);
  Status merge_slot(size_t slot, const Transaction* txn, StopPoll& poll,
                    std::optional<std::pair<uint64_t, Error>>& first_failure);

  MDB_txn* txn_;
  std::string directory_;
  size_t run_bytes_;
  std::vector<std::unique_ptr<Slot>> slots_;
  int file_ = -1;  // the spilled runs, oldest first
  uint64_t spilled_bytes_ = 0;
  uint64_t line_ = 0;
  uint8_t annotations_ = 0;  // of the current line: a bit per annotation slot present
};

}  // namespace vossick
