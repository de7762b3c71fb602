// Importing heap-dump lines: one write transaction for the whole import, one
// line parsed at a time, committed once at the end.
//
// What each line writes is described once (record_puts.h). Into an
// environment whose databases are all empty, every put is held in sorted runs
// and appended to each database in its own order at the commit
// (sorted_runs.h); otherwise the puts of many lines are held in a bounded
// batch and applied in key order (key_ordered_batch.h). Either way the
// databases end up the same as with puts in input order. Every check that can make a line's puts fail (its parse, the
// sizes of its keys and value, room in the map) is made on that line, before
// the next one is read, so a bad line is reported where it stands. Failures
// that do not come from a line (the disk failing while LMDB writes pages out,
// memory running out) may surface when a batch is applied; either way nothing
// of the session persists.
//
// An id may come again (in the same session or after an earlier one) only
// with the same record but for its subtree_size; a line that brings another
// record for a stored id fails the session (record_puts.h).
//
// Just before it commits, the session rebuilds `type_summaries` from what
// its own transaction holds, so the summaries agree with the records from
// the commit on, whatever the post-import pass then does.
//
// Thread safety: an ImportSession belongs to the thread that began it (LMDB
// write transactions are per thread). Only one write transaction per
// environment exists at a time; begin() waits for it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/stop_check.h"
#include "import/key_ordered_batch.h"
#include "import/record_puts.h"
#include "import/sorted_runs.h"
#include "records/record.h"
#include "storage/environment.h"
#include "storage/explorer.h"

namespace vossick {

enum class ImportOrder {
  kInput,              // every put made as its line is read
  kKeyOrderedBatches,  // puts batched and applied in key order
  kSortedRuns,         // into empty databases, appended from sorted runs;
                       // otherwise as kKeyOrderedBatches
};

class ImportSession {
 public:
  // Begins the import's write transaction. Waits while another writer holds
  // the environment, asking `stop`: callers holding other locks must release
  // them first.
  static Result<ImportSession> begin(const Explorer& explorer, ImportOrder order = ImportOrder::kSortedRuns,
                                     BatchLimits limits = {}, StopCheck& stop = never_stop());

  // Parses one line as a RawObjectRecord and writes it, re-serialised in
  // canonical form (record_puts.h). After an error the session only repeats
  // it, and nothing of the session will persist: not committing (destroying
  // the session, or any error) aborts everything added. In a process forked
  // from the one that began the session, fails with foreign_process_error().
  Status add_line(std::string_view line);

  // Applies what is held, rebuilds the type summaries (asking `stop`) and
  // commits.
  Status commit(StopCheck& stop = never_stop());

  // The input line (counted from 1 over the add_line calls) that the
  // session's failure belongs to; 0 when it belongs to none (the commit, the
  // disk, a stop).
  uint64_t failed_line() const noexcept { return failed_line_; }

  // Whether puts are still being held: false in input order, and once the
  // map is too full to be sure what is held fits (the rest goes in input
  // order).
  bool batching() const noexcept { return order_ != ImportOrder::kInput; }
  // The order the session writes in now.
  ImportOrder order() const noexcept { return order_; }
  // Bytes of temporary files written so far (sorted runs spilled to disk).
  uint64_t spilled_bytes() const noexcept { return runs_ ? runs_->spilled_bytes() : 0; }

 private:
  ImportSession(Transaction txn, const Databases& dbs, ImportOrder order, BatchLimits limits)
      : txn_(std::move(txn)), dbs_(&dbs), order_(order), limits_(limits) {}

  Status add_checked(std::string_view line);
  Status put_in_input_order();
  Status put_line_in_input_order();
  // Applies what is held (the sorted runs or the batch); with `check_only`,
  // the sorted runs are only checked for conflicts.
  Status apply_held(bool check_only = false, StopCheck& stop = never_stop());
  Status check_sizes() const;
  // An upper bound of the map bytes the current record's puts can take.
  uint64_t worst_case_bytes() const;
  Status fail(Status status);

  Transaction txn_;
  const Databases* dbs_;
  ImportOrder order_;
  BatchLimits limits_;
  KeyOrderedBatch batch_;
  std::unique_ptr<SortedRuns> runs_;  // with kSortedRuns
  std::optional<ImportCursorsOf<HeldCursor>> held_;
  AnnotatedRecord record_;  // reused across lines
  std::string text_;        // its canonical form
  std::optional<Error> failed_;
  uint64_t lines_ = 0;
  uint64_t failed_line_ = 0;
  // Map room, for deciding whether a batch surely fits.
  uint64_t map_bytes_ = 0;
  uint64_t page_bytes_ = 0;
  uint64_t max_key_bytes_ = 0;
  uint64_t bound_of_used_bytes_ = 0;
};

// "while importing line 30,001 of the input": the note the module adds to an
// error that belongs to one input line, part of its public contract.
std::string input_line_note(uint64_t line);

}  // namespace vossick
