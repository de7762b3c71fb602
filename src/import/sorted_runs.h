// The puts of an import into empty databases, held in sorted runs and then
// appended to each database in its own order (MDB_APPEND, MDB_APPENDDUP):
// LMDB fills every page to the brim and never splits one, which is the least
// work and the smallest file LMDB can hold the entries in.
//
// Puts arrive through HeldCursors (one per database, used as the cursors of
// ImportCursorsOf), so whatever record_puts.h describes goes through here,
// for any database, without code of its own. A run is held in memory up to
// its byte budget, then sorted and spilled to the end of a temporary file in
// the environment's directory; apply() merges the runs and the last run in
// memory, and puts each database's entries in order:
//  - in a database with duplicates, each distinct pair once (a pair put
//    twice is stored once, as puts store it);
//  - in one without, for each key, the value of its last put in input order;
//    a put held through put_unless_present (the record of a line) must agree
//    with the key's first value as same_but_subtree_size says, or the first
//    such line in input order fails with conflicting_record_error.
// The order of a database is LMDB's own (mdb_cmp, mdb_dcmp), so its flags
// (MDB_INTEGERKEY, MDB_DUPSORT, MDB_INTEGERDUP ...) decide it.
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
  // Holds a put that must agree with the earlier puts of its key (checked
  // when the runs are applied); never reports a present value.
  Result<std::optional<std::string_view>> put_unless_present(std::string_view key, std::string_view value);

 private:
  friend class SortedRuns;
  HeldCursor(SortedRuns& runs, uint8_t slot) : runs_(&runs), slot_(slot) {}

  SortedRuns* runs_;
  uint8_t slot_;
};

class SortedRuns {
 public:
  friend class HeldCursor;

  // Runs of about `run_bytes` of memory each; spilled runs go to
  // `directory`. Removes what a killed import left there.
  static std::unique_ptr<SortedRuns> create(const Transaction& txn, std::string directory, size_t run_bytes);
  ~SortedRuns();
  SortedRuns(const SortedRuns&) = delete;
  SortedRuns& operator=(const SortedRuns&) = delete;

  Result<HeldCursor> cursor(MDB_dbi dbi);
  // The input line of the puts that follow.
  void set_line(uint64_t line) noexcept { line_ = line; }
  bool empty() const noexcept { return held_.empty() && runs_.empty(); }
  // Bytes written to the temporary file so far.
  uint64_t spilled_bytes() const noexcept { return spilled_bytes_; }

  // Writes every held put through `txn`, whose databases must be empty, and
  // empties the runs either way. A conflict fails with the first
  // conflicting line in input order, set in `failed_line`.
  Status apply(const Transaction& txn, StopCheck& stop, uint64_t& failed_line);
  // Looks for that conflict alone, writing nothing.
  Status check(StopCheck& stop, uint64_t& failed_line);

 private:
  struct Held {
    uint64_t offset;  // of the key in arena_; the value follows it
    uint64_t line;    // for checked puts
    uint32_t key_bytes;
    uint32_t value_bytes;
    uint8_t slot;
    bool checked;
  };
  struct Slot {
    MDB_dbi dbi;
    bool duplicates;
  };
  class Source;
  class MemorySource;
  class FileSource;
  class Merge;

  SortedRuns(MDB_txn* txn, std::string directory, size_t run_bytes)
      : txn_(txn), directory_(std::move(directory)), run_bytes_(run_bytes) {}

  Status hold(uint8_t slot, bool checked, std::string_view key, std::string_view value);
  Status spill();
  void sort_held();
  void clear() noexcept;
  Status merge(const Transaction* txn, StopCheck& stop, uint64_t& failed_line);
  // <0, 0, >0 as the pairs sort in `slot`'s database (the value only with
  // duplicates).
  int compare(uint8_t slot, std::string_view key_a, std::string_view value_a, std::string_view key_b,
              std::string_view value_b) const;

  MDB_txn* txn_;
  std::string directory_;
  size_t run_bytes_;
  std::vector<Slot> slots_;
  std::string arena_;
  std::vector<Held> held_;
  int file_ = -1;  // the spilled runs, oldest first
  std::vector<std::pair<uint64_t, uint64_t>> runs_;  // their offsets and lengths
  uint64_t spilled_bytes_ = 0;
  uint64_t line_ = 0;
};

}  // namespace vossick
