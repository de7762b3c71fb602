// The post-import pass: rebuilds `type_summaries` from `types_size_index` and,
// for every precision but NoEstimates, estimates every object's subtree size.
// Everything it writes goes through one write transaction committed at the
// end, so a pass takes effect completely or not at all.
//
// Thread safety: runs on the calling thread and starts none; waits for the
// environment's writer lock, so callers must not hold other locks (the
// interpreter lock).
#pragma once

#include "base/result.h"
#include "base/stop_check.h"
#include "storage/environment.h"
#include "storage/explorer.h"
#include "storage/type_keyed_batch.h"

namespace vossick {

enum class EstimatorPrecision : int { kNoEstimates = 0, kLow = 1, kMedium = 2, kHigh = 3, kExact = 4 };

// Whether the pass rebuilds the type summaries (type_summaries.h). kCurrent:
// the import that runs the pass rebuilt them in its own transaction just
// before committing, from exactly what the pass would read, so rebuilding
// again would write the same bytes.
enum class TypeSummaries { kRebuild, kCurrent };

// Asks `stop` every few thousand objects; when it says stop, the pass
// aborts and returns Error::interrupted().
Status run_post_import_processing(const Explorer& explorer, EstimatorPrecision precision,
                                  TypeSummaries summaries = TypeSummaries::kRebuild, StopCheck& stop = never_stop());

// How the pass's writes reach LMDB (subtree_size_writer.h): all held until
// the traversal ends and written compactly, each database in key order;
// held in batches applied in key order (within `limits`, written in emit
// order when the rewritten records of a batch outgrow its memory); or object
// by object as the traversal emits them. The stored bytes and the error are
// the same every way.
enum class PassWrites { kCompact, kKeyOrderedBatches, kEmitOrder };

// Estimates the subtree size of every object in `primary` with the estimator
// that `precision` selects (not NoEstimates): rewrites each record's
// `subtree_size` and indexes it in `types_subtree_size_index`, all through
// `write_txn`, which it neither commits nor aborts. The records are read
// from the state committed before `write_txn` began, which must not have
// written `primary` itself. Must be called on the thread that began
// `write_txn`. Stops with Error::interrupted() when `stop`
// says so.
Status run_subtree_size_estimation(const Explorer& explorer, const Transaction& write_txn, EstimatorPrecision precision,
                                   PassWrites writes = PassWrites::kCompact, BatchLimits limits = {},
                                   StopCheck& stop = never_stop());

}  // namespace vossick
