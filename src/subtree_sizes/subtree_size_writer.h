// The writes of the post-import pass, described once. For every object the
// traversal emits with its estimated subtree size s:
//  - its record in `primary` is rewritten with `subtree_size` s (each record
//    once, under its own key);
//  - the entry {s, id} goes into `types_subtree_size_index` under the
//    record's type and under "All Types".
// SubtreeSizeWriter makes these writes as each object is emitted.
// KeyOrderedSubtreeSizeWriter holds many objects and makes the same writes
// in key order, each database walked upwards through one cursor, instead of
// a descent from the root for every get and put in the traversal's order.
// The databases end up the same either way (index entries form sets), and a
// failure is the one that comes first in emit order.
//
// CompactSubtreeSizeWriter holds every object until the traversal ends and
// then writes them all in one go, in a transaction nested in the pass's:
// `primary` is emptied and filled again in key order by appending, from the
// snapshot the traversal read, and `types_subtree_size_index` is appended to
// when the pass finds it empty. Every page ends up full, where rewriting in
// place splits pages as records grow by a few digits, and no page is copied
// twice. Whatever it cannot write so (a record that names an id other than
// its key or does not decode, an object emitted without a record or a record
// never emitted, a failing write) it abandons with the nested transaction and
// replays through a KeyOrderedSubtreeSizeWriter in emit order, which gives the
// same bytes or the same first error.
//
// A record that names an id other than its key (a database damaged from
// outside) would make the order of its rewrite and of other reads and writes
// matter, so a batch holding one is written in emit order, through a
// SubtreeSizeWriter; so is a batch whose rewritten records would take more
// memory than allowed.
//
// Thread safety: none; a writer runs on the thread that owns the write
// transaction, and must be destroyed before the transaction ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/stop_check.h"
#include "records/record.h"
#include "storage/databases.h"
#include "storage/environment.h"
#include "storage/type_keyed_batch.h"

namespace vossick {

class SubtreeSizeWriter {
 public:
  static Result<SubtreeSizeWriter> open(const Databases& dbs, const Transaction& write_txn);

  // Writes the object's subtree size: rewrites its record and indexes it.
  Status write(uint64_t member_id, uint64_t estimate);

 private:
  SubtreeSizeWriter(Cursor primary, Cursor index) : primary_(std::move(primary)), index_(std::move(index)) {}

  Cursor primary_;
  Cursor index_;            // on types_subtree_size_index
  RawObjectRecord record_;  // reused for every object
  std::string text_;
  std::string type_;
};

class KeyOrderedSubtreeSizeWriter {
 public:
  KeyOrderedSubtreeSizeWriter(const Databases& dbs, const Transaction& write_txn, BatchLimits limits = {})
      : dbs_(dbs), write_txn_(write_txn), limits_(limits) {}

  // Holds the object's new subtree size; applies the batch when it is full.
  Status write(uint64_t member_id, uint64_t estimate);

  // Applies what is held. After a failure every call returns that failure.
  Status flush();

 private:
  struct Update {
    uint64_t member_id;
    uint64_t estimate;
    uint32_t sequence;    // emit order
    uint64_t offset = 0;  // of the rewritten record in texts_
    uint64_t length = 0;
  };

  Status apply();
  Result<bool> prepare_in_key_order();
  Status write_in_emit_order();

  const Databases& dbs_;
  const Transaction& write_txn_;
  const BatchLimits limits_;
  std::vector<Update> updates_;
  std::string texts_;
  std::vector<SizeEntryPut> entries_;
  BatchTypeNames types_;
  RawObjectRecord record_;  // reused for every object
  std::optional<Error> failed_;
};

class CompactSubtreeSizeWriter {
 public:
  // `read_txn` is the snapshot the traversal reads, holding the records as
  // they were before the pass; `stop` is asked while writing.
  CompactSubtreeSizeWriter(const Databases& dbs, const Transaction& read_txn, const Transaction& write_txn,
                           BatchLimits limits, StopCheck& stop)
      : dbs_(dbs), read_txn_(read_txn), write_txn_(write_txn), limits_(limits), stop_(stop) {}

  // Holds the object's new subtree size.
  Status write(uint64_t member_id, uint64_t estimate);

  // Writes everything held. After a failure every call returns that failure.
  Status flush();

 private:
  struct Held {
    uint64_t id;
    uint64_t estimate;
    uint32_t sequence;  // emit order
    uint32_t type = 0;  // a BatchTypeNames number, once its record is read
  };

  // False, with nothing written, when the records cannot be written so.
  Result<bool> write_compact();
  Status write_in_batches();

  const Databases& dbs_;
  const Transaction& read_txn_;
  const Transaction& write_txn_;
  const BatchLimits limits_;
  StopCheck& stop_;
  std::vector<Held> held_;
  BatchTypeNames types_;
  RawObjectRecord record_;  // reused for every object
  std::string text_;
  std::optional<Error> failed_;
};

}  // namespace vossick
