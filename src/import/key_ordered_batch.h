// The puts of many imported records (replay_record_puts, record_puts.h),
// held back and then made database by database in key order through one
// cursor each. A cursor that stays on its page finds the next key there
// instead of descending from the root, and each page is touched once per
// batch rather than once per put, which makes an import about twice as fast
// as putting every record as it is read.
//
// The databases end up holding exactly what the puts in input order store:
// the same pairs in the duplicate-sorted databases (a pair put twice is
// stored once either way), and in `primary`, for an id on several lines, the
// record of the last one (puts of one id keep their input order). A line
// whose record conflicts with the one already stored for its id fails the
// batch, and so does one whose stored record no longer decodes; of several
// such lines, the first in input order is the one reported, as in input
// order.
//
// Thread safety: none; a batch belongs to one import session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "records/record.h"
#include "storage/databases.h"
#include "storage/environment.h"
#include "storage/type_keyed_batch.h"

namespace vossick {

class KeyOrderedBatch {
 public:
  // Holds the puts of one record, read from input line `line` (counted from
  // 1, ascending from call to call), `text` being its canonical form. The
  // caller has checked the key and value sizes.
  void add(const AnnotatedRecord& record, std::string_view text, uint64_t line);

  bool empty() const noexcept { return primary_.empty(); }
  bool full(const BatchLimits& limits) const noexcept {
    return primary_.size() >= limits.max_records || held_bytes() >= limits.max_bytes;
  }

  // Makes every held put, stops at the first error, and empties the batch
  // either way. Memory above `limits.max_bytes` (left by one huge record) is
  // given back. When the error belongs to one line (a conflict, a stored
  // record that does not decode), `failed_line` is set to it.
  Status apply(const Transaction& txn, const Databases& dbs, const BatchLimits& limits, uint64_t& failed_line);

 private:
  struct RecordPut {
    uint64_t id;
    uint64_t line;    // also the input order among puts of the same id
    uint64_t offset;  // of the canonical text in records_
    uint64_t length;
  };
  struct ReverseEdge {
    uint64_t referenced;
    uint64_t referrer;
  };
  // A put of one annotation database; every line has one, present or not.
  struct AnnotationPut {
    uint64_t id;
    uint64_t line;
    uint64_t offset;  // of the bytes in Annotations::bytes
    uint64_t length;
    bool present;
  };
  struct Annotations {
    std::string bytes;
    std::vector<AnnotationPut> puts;
    size_t present = 0;

    void add(uint64_t id, std::optional<std::string_view> value, uint64_t line);
    size_t held_bytes() const noexcept { return bytes.size() + puts.size() * sizeof(AnnotationPut); }
    void clear(size_t max_bytes);
  };
  struct TypeIdPut {
    uint32_t type;  // a BatchTypeNames number
    uint64_t id;
  };
  // The puts of replay_record_puts, held.
  struct Holder;

  size_t held_bytes() const noexcept;
  static Result<bool> annotations_needed(const Transaction& txn, const Annotations& annotations, MDB_dbi dbi);
  void clear(const BatchLimits& limits);

  std::string records_;
  std::vector<RecordPut> primary_;
  Annotations labels_;
  Annotations sites_;
  std::vector<ReverseEdge> edges_;
  std::vector<TypeIdPut> type_ids_;
  std::vector<SizeEntryPut> size_entries_;
  BatchTypeNames types_;
};

}  // namespace vossick
