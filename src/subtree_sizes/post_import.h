// The post-import pass: rebuilds `type_summaries` from `types_size_index` and,
// for every precision but NoEstimates, estimates every object's subtree size.
// Everything it writes goes through one write transaction committed at the
// end, so a pass takes effect completely or not at all.
//
// Thread safety: runs on the calling thread and starts none; waits for the
// environment's writer lock, so callers must not hold other locks (the
// interpreter lock).
#pragma once

#include "storage/explorer.h"

namespace vossick {

enum class EstimatorPrecision : int { kNoEstimates = 0, kLow = 1, kMedium = 2, kHigh = 3, kExact = 4 };

// Whether the pass rebuilds the type summaries. kCurrent: the import that
// runs the pass rebuilt them in its own transaction just before committing
// (import.h), from exactly what the pass would read, so rebuilding again
// would write the same bytes.
enum class TypeSummaries { kRebuild, kCurrent };

// Asks `stop` every few thousand objects; when it says stop, the pass
// aborts and returns Error::interrupted().
Status run_post_import_processing(const Explorer& explorer, EstimatorPrecision precision,
                                  TypeSummaries summaries = TypeSummaries::kRebuild, StopCheck& stop = never_stop());

// Writes, through `write_txn`, the count and total direct size of every type
// in `types_size_index` as `read_txn` sees it (the same transaction, or a
// snapshot beside it) into `type_summaries`. One sequential scan, a page of
// entries at a time; asks `stop` as it goes.
Status rebuild_type_summaries(const Transaction& read_txn, const Transaction& write_txn, const Databases& dbs,
                              StopCheck& stop);

// How the pass's writes reach LMDB: held in batches applied in key order
// (subtree_size_batch.h), or object by object as the traversal emits them.
// The stored bytes and the error are the same either way.
enum class PassWrites { kKeyOrderedBatches, kEmitOrder };

// Estimates the subtree size of every object in `primary` with the estimator
// that `precision` selects (not NoEstimates): rewrites each record's
// `subtree_size` and indexes it in `types_subtree_size_index`, all through
// `write_txn`, which it neither commits nor aborts. Must be called on the
// thread that began `write_txn`. Stops with Error::interrupted() when `stop`
// says so.
Status run_subtree_size_estimation(const Explorer& explorer, const Transaction& write_txn,
                                   EstimatorPrecision precision,
                                   PassWrites writes = PassWrites::kKeyOrderedBatches, StopCheck& stop = never_stop());

}  // namespace vossick
