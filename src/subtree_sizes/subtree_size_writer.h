// The post-import pass's writes, held for many objects and applied in key
// order: each record is read and rewritten through one cursor walking
// `primary` upwards, and the index entries are put sorted, instead of a
// descent from the root for every get and put in the traversal's order.
//
// The databases end up holding what writing each object as it is emitted
// stores (each record is rewritten once, and index entries form sets), and a
// failure is the one that comes first in emit order. A record that names an
// id other than its key (a database damaged from outside) would make the
// order of its rewrite and of other reads and writes matter, so a batch
// holding one is written in emit order, object by object; so is a batch
// whose rewritten records would take more memory than allowed.
//
// Thread safety: none; runs on the thread that owns the write transaction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/type_keyed_batch.h"
#include "records/record.h"
#include "storage/environment.h"

namespace vossick {

class KeyOrderedSubtreeSizeWriter {
 public:
  static constexpr size_t kDefaultBatchSize = 65536;
  static constexpr size_t kDefaultMaxTextBytes = size_t{16} << 20;

  KeyOrderedSubtreeSizeWriter(const Databases& dbs, const Transaction& write_txn,
                              size_t batch_size = kDefaultBatchSize, size_t max_text_bytes = kDefaultMaxTextBytes)
      : dbs_(dbs), write_txn_(write_txn), batch_size_(batch_size), max_text_bytes_(max_text_bytes) {}

  // Holds the object's new subtree size; applies the batch when it is full.
  Status write(uint64_t member_id, uint64_t estimate);

  // Applies what is held. After a failure every call returns that failure.
  Status flush();

 private:
  struct Update {
    uint64_t member_id;
    uint64_t estimate;
    uint32_t sequence;  // emit order
    uint64_t offset = 0;  // of the rewritten record in texts_
    uint64_t length = 0;
  };

  Status apply();
  Result<bool> prepare_in_key_order();
  Status write_in_emit_order();

  const Databases& dbs_;
  const Transaction& write_txn_;
  const size_t batch_size_;
  const size_t max_text_bytes_;
  std::vector<Update> updates_;
  std::string texts_;
  std::vector<SizeEntryPut> entries_;
  BatchTypeNames types_;
  RawObjectRecord record_;  // reused for every object
  std::optional<Error> failed_;
};

}  // namespace vossick
