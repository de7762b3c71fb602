// `type_summaries`, derived from `types_size_index`: per type key, the
// number of entries and the wrapping sum of their sizes. The import rebuilds
// it in its own transaction just before committing, so that the summaries
// agree with the records from every commit on; a post-import pass over an
// older database rebuilds it too.
//
// Thread safety: as the transactions passed in.
#pragma once

#include "base/result.h"
#include "base/stop_check.h"
#include "storage/databases.h"
#include "storage/environment.h"

namespace vossick {

// Writes, through `write_txn`, the count and total direct size of every type
// in `types_size_index` as `read_txn` sees it (the same transaction, or a
// snapshot beside it) into `type_summaries`. One sequential scan, a page of
// entries at a time; asks `stop` as it goes.
Status rebuild_type_summaries(const Transaction& read_txn, const Transaction& write_txn, const Databases& dbs,
                              StopCheck& stop);

}  // namespace vossick
