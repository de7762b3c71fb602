// Queries over the stored dominator tree and retained sizes. Each begins one
// read-only transaction, does all its reads in that snapshot and ends it.
// While the results are not current (never computed, or discarded by an
// import since) each fails with the error of get_retained_state
// (retained_store.h), so no answer ever describes a graph that no longer is.
//
// Thread safety: any number may run at once, beside one writer.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/stop_check.h"
#include "storage/encodings.h"
#include "storage/explorer.h"
#include "records/record.h"

namespace vossick::dominators {

// Objects with their retained sizes, largest first, equal sizes by ascending id.
using RetainedListing = std::vector<std::pair<ObjectSummary, uint64_t>>;

// Empty when no object has that id.
Result<std::optional<uint64_t>> get_retained_size(const Explorer& explorer, uint64_t id);

// From the object directly under the virtual root down to `id` itself, each
// the immediate dominator of the next; empty when no object has that id.
// A chain may be as long as the objects are many: `stop` is polled.
Result<std::optional<std::vector<ObjectSummary>>> get_dominator_chain(const Explorer& explorer, uint64_t id,
                                                                      StopCheck& stop);

// The objects whose immediate dominator is `id` (no id: the virtual root);
// one page of 1000, or all without a page. Empty for an id without object.
// All may be millions: `stop` is polled, here and below.
Result<RetainedListing> get_dominated_objects(const Explorer& explorer, std::optional<uint64_t> id,
                                              std::optional<uint64_t> page, StopCheck& stop);

// The objects of a type ("All Types": every object); one page, or all.
Result<RetainedListing> get_objects_by_type_ordered_by_retained_size(const Explorer& explorer, const Type& type,
                                                                     std::optional<uint64_t> page, StopCheck& stop);

}  // namespace vossick::dominators
