// What dump lines said beside their records: the labels of an object's
// references, its allocation site, and the sites summed over all objects.
// Each query begins one read-only transaction and ends it before returning.
//
// Thread safety: any number of queries may run at once, beside one writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "base/stop_check.h"
#include "storage/explorer.h"

namespace vossick {

// One label (or nothing) per reference of the object, in its references'
// order: all nothing when its line had no labels. Empty when no record has
// that id. Stored labels whose count differs from the references' are a
// decoding error.
Result<std::optional<std::vector<std::optional<std::string>>>> get_reference_labels(const Explorer& explorer,
                                                                                     uint64_t id);

// Empty when the object's line had no allocation site (or there is no object).
Result<std::optional<std::string>> get_allocation_site(const Explorer& explorer, uint64_t id);

struct AllocationSiteSummary {
  std::string site;
  uint64_t count = 0;
  uint64_t total_size = 0;  // of the objects' direct sizes, wrapping modulo 2^64

  bool operator==(const AllocationSiteSummary&) const = default;
};

// The objects with a site, counted and their sizes summed per site, largest
// total first, ties by site (bytewise); one page of kPageSize rows, or all
// when no page is given. Scans every site, asking `stop` now and then.
Result<std::vector<AllocationSiteSummary>> get_allocation_site_summaries(const Explorer& explorer,
                                                                         std::optional<uint64_t> page,
                                                                         StopCheck& stop = never_stop());

}  // namespace vossick
