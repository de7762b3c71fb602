// Read-only queries over an explorer's databases. Each public query begins
// exactly one read-only transaction, does all its reads in that snapshot and
// ends it before returning.
//
// Thread safety: any number of queries may run at once, beside one writer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "storage/explorer.h"
#include "records/record.h"

namespace vossick {

inline constexpr uint64_t kPageSize = 1000;

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

// The one way queries turn an id into a summary. A missing record is the
// decoding error "Decoding error: Missing record for ID {id}".
Result<ObjectSummary> get_summary(const Transaction& txn, const Databases& dbs, uint64_t id);
// Summaries in the order of `ids`; stops at the first error.
Result<std::vector<ObjectSummary>> get_summaries_for_ids(const Transaction& txn, const Databases& dbs,
                                                         std::span<const uint64_t> ids);

// Empty when no record has that id.
Result<std::optional<ObjectRecord>> get_object(const Explorer& explorer, uint64_t id);

Result<std::vector<std::pair<Type, TypeSummary>>> get_type_summaries(const Explorer& explorer);
Result<uint64_t> get_count_for_type(const Explorer& explorer, const Type& type);
Result<uint64_t> get_page_count_for_type(const Explorer& explorer, const Type& type);
// Objects of a type in stored id order; one page of 1000, or all without a page.
Result<std::vector<ObjectSummary>> get_objects_by_type(const Explorer& explorer, const Type& type,
                                                       std::optional<uint64_t> page);
// Objects of a type by direct size (or estimated subtree size), largest first,
// ties by ascending id.
Result<std::vector<ObjectSummary>> get_objects_by_type_ordered_by_size(const Explorer& explorer,
                                                                       const Type& type, bool subtree_size,
                                                                       std::optional<uint64_t> page);

}  // namespace vossick
