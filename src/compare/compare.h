// Comparison of two dumps of one process, each in its own environment: the
// current explorer and a baseline (the earlier dump). Object ids are
// addresses, stable for the life of an object, so an object is kept when the
// baseline holds its id with the same type, and new otherwise (an address
// reused by an object of another type is a new object).
//
// Each query reads each environment in one read-only transaction of its
// own, begun for the call, and walks the id-ordered databases of both sides
// together (merges), never one point read per object of a whole dump. Long
// walks ask `stop` every few thousand records and return its error.
//
// The error texts and the orders below (growth first, ties by name or id)
// are part of the module's public contract.
//
// Thread safety: any number may run at once, beside one writer per side.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/result.h"
#include "base/stop_check.h"
#include "records/record.h"
#include "storage/encodings.h"
#include "storage/explorer.h"

namespace vossick {

struct TypeComparison {
  Type type;
  TypeSummary baseline;  // zero where the baseline has no such type
  TypeSummary current;   // zero where this dump has no such type
};

// A kept object that references new objects.
struct GrowthPoint {
  ObjectSummary object;
  uint64_t new_count = 0;  // distinct new objects it references directly
  uint64_t new_size = 0;   // their summed retained sizes (direct sizes where not current), modulo 2^64
};

// Every type of either side, the "All Types" row included, largest growth of
// total size first (signed: shrinking types last), equal growth by name.
// Fails as compare_baseline_error when both are one environment.
Result<std::vector<TypeComparison>> compare_type_summaries(const Explorer& current, const Explorer& baseline);

// New objects of `type` ("All Types": of any type) in stored id order (the
// order of the type's ids in `types`: bytewise on the little-endian ids);
// one page of 1000, or all without a page.
Result<std::vector<ObjectSummary>> get_new_objects(const Explorer& current, const Explorer& baseline, const Type& type,
                                                   std::optional<uint64_t> page, StopCheck& stop = never_stop());

// Kept objects that reference new objects, largest new_size first, equal
// sizes by ascending id; one page of 1000, or all without a page.
Result<std::vector<GrowthPoint>> get_growth_points(const Explorer& current, const Explorer& baseline,
                                                   std::optional<uint64_t> page, StopCheck& stop = never_stop());

}  // namespace vossick
