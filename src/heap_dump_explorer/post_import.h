// The post-import pass: rebuilds `type_summaries` from `types_size_index` and,
// for every precision but NoEstimates, estimates every object's subtree size.
// Everything it writes goes through one write transaction committed at the
// end, so a pass takes effect completely or not at all.
//
// Thread safety: runs on the calling thread and starts none; waits for the
// environment's writer lock, so callers must not hold other locks (the
// interpreter lock).
#pragma once

#include "heap_dump_explorer/explorer.h"

namespace vossick {

enum class EstimatorPrecision : int { kNoEstimates = 0, kLow = 1, kMedium = 2, kHigh = 3, kExact = 4 };

Status run_post_import_processing(const Explorer& explorer, EstimatorPrecision precision);

// How the pass's writes reach LMDB: held in batches applied in key order
// (subtree_size_batch.h), or object by object as the traversal emits them.
// The stored bytes and the error are the same either way.
enum class PassWrites { kKeyOrderedBatches, kEmitOrder };

// Estimates the subtree size of every object in `primary` with the estimator
// that `precision` selects (not NoEstimates): rewrites each record's
// `subtree_size` and indexes it in `types_subtree_size_index`, all through
// `write_txn`, which it neither commits nor aborts. Must be called on the
// thread that began `write_txn`.
Status run_subtree_size_estimation(const Explorer& explorer, const Transaction& write_txn,
                                   EstimatorPrecision precision,
                                   PassWrites writes = PassWrites::kKeyOrderedBatches);

}  // namespace vossick
