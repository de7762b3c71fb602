// Object lookup: one object with its references and referrers, and the one
// way every query turns an id into an ObjectSummary. get_object begins
// exactly one read-only transaction, does all its reads in that snapshot and
// ends it before returning; the summaries read in the caller's transaction.
//
// Thread safety: any number of queries may run at once, beside one writer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/result.h"
#include "base/stop_check.h"
#include "records/record.h"
#include "storage/databases.h"
#include "storage/environment.h"
#include "storage/explorer.h"

namespace vossick {

// One object with its references and referrers expanded into summaries.
struct ObjectRecord {
  uint64_t id = 0;
  std::string type;
  std::vector<ObjectSummary> references;
  std::vector<ObjectSummary> referrers;
  std::optional<std::string> value;
  uint64_t size = 0;
  std::optional<uint64_t> subtree_size;
};

// The one way queries turn an id into a summary. A missing record is
// missing_record_error(id, MissingRecordIn::kSummary) (primary.h).
Result<ObjectSummary> get_summary(const Transaction& txn, const Databases& dbs, uint64_t id);
// Summaries in the order of `ids`; stops at the first error, or with
// Error::interrupted() when `stop` asks (polled: lists may be millions long).
Result<std::vector<ObjectSummary>> get_summaries_for_ids(const Transaction& txn, const Databases& dbs,
                                                         std::span<const uint64_t> ids, StopCheck& stop);

// Empty when no record has that id. An object may have millions of referrers:
// `stop` is polled while they and the references are read.
Result<std::optional<ObjectRecord>> get_object(const Explorer& explorer, uint64_t id, StopCheck& stop);

}  // namespace vossick
