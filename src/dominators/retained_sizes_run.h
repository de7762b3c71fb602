// The retained-size run: computes the dominator tree of every object in the
// environment and every object's retained size, and stores them
// (retained_store.h), all in one write transaction.
//
// It holds the environment's write transaction from before it reads the
// first record until it commits, so no import can change the graph under it;
// a failure or a stop aborts that transaction and leaves the previous results
// (or their absence) as they were. Queries in other threads keep working on
// their own snapshots meanwhile.
//
// Thread safety: runs on the calling thread and starts none; waits for the
// environment's writer lock, so callers must not hold other locks (the
// interpreter lock).
#pragma once

#include "base/stop_check.h"
#include "storage/explorer.h"

namespace vossick::dominators {

// Waits for the writer gate as every writer does, asking `stop_requested`.
// Fails with Error::interrupted() soon after `stop_requested` says stop (it
// is asked every few thousand steps of each phase), with LMDB's and
// decoding errors as met, and with "too many objects or references for the
// dominator tree" when objects and references together pass 2^32 - 1.
Status compute_retained_sizes(const Explorer& explorer, StopCheck& stop_requested = never_stop());

}  // namespace vossick::dominators
