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

}  // namespace vossick
