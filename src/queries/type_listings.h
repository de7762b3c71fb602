// Type listings: the table of all types with their counts and total sizes,
// one type's count and number of pages, and pages of its objects in stored
// id order or by size. Each query begins exactly one read-only transaction,
// does all its reads in that snapshot and ends it before returning.
//
// Thread safety: any number of queries may run at once, beside one writer.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/result.h"
#include "base/stop_check.h"
#include "records/record.h"
#include "storage/encodings.h"
#include "storage/explorer.h"

namespace vossick {

inline constexpr uint64_t kPageSize = 1000;

Result<std::vector<std::pair<Type, TypeSummary>>> get_type_summaries(const Explorer& explorer);
Result<uint64_t> get_count_for_type(const Explorer& explorer, const Type& type);
Result<uint64_t> get_page_count_for_type(const Explorer& explorer, const Type& type);
// Objects of a type in stored id order; one page of 1000, or all without a
// page. A listing of all can be millions long: `stop` is polled while its
// summaries are read.
Result<std::vector<ObjectSummary>> get_objects_by_type(const Explorer& explorer, const Type& type,
                                                       std::optional<uint64_t> page, StopCheck& stop);
// Objects of a type by direct size (or estimated subtree size), largest first,
// ties by ascending id.
Result<std::vector<ObjectSummary>> get_objects_by_type_ordered_by_size(const Explorer& explorer, const Type& type,
                                                                       bool subtree_size, std::optional<uint64_t> page,
                                                                       StopCheck& stop);

}  // namespace vossick
