#include "dominators/retained_queries.h"

#include <algorithm>

#include "dominators/retained_store.h"
#include "queries/object_lookup.h"
#include "queries/type_listings.h"

namespace vossick::dominators {

namespace {

constexpr uint32_t kEntriesPerStopPoll = 4096;

// A read snapshot in which the results are current.
Result<Transaction> begin_current(const Explorer& explorer) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  VOSSICK_TRY(get_retained_state(txn, explorer.dbs()));
  return txn;
}

// One page (or all) of an entry list, as summaries with their retained sizes.
Result<RetainedListing> list_page(const Transaction& txn, const Databases& dbs, std::string_view list,
                                  std::optional<uint64_t> page, StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(const size_t length, entry_list_length(list));
  size_t begin = 0;
  size_t end = length;
  if (page) {
    // Past the end, also where page * 1000 does not fit in 64 bits.
    begin = *page < length / kPageSize + 1 ? *page * kPageSize : length;
    end = std::min(length, begin + kPageSize);
  }
  RetainedListing listing;
  listing.reserve(end - begin);
  StopPoll poll(stop, kEntriesPerStopPoll);
  for (size_t i = begin; i < end; ++i) {
    VOSSICK_TRY(poll.poll());
    const uint64_t id = load_le64(reinterpret_cast<const unsigned char*>(list.data()) + i * kEntryBytes);
    VOSSICK_ASSIGN_OR_RETURN(auto node, get_tree_node(txn, dbs, id));
    if (!node) return missing_tree_node(id);
    VOSSICK_ASSIGN_OR_RETURN(ObjectSummary summary, get_summary(txn, dbs, id));
    listing.emplace_back(std::move(summary), node->retained_size);
  }
  return listing;
}

// The page of the entry list stored under `key`; no list is an empty one.
Result<RetainedListing> list_stored_page(const Explorer& explorer, MDB_dbi dbi, std::string_view key,
                                         std::optional<uint64_t> page, StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, begin_current(explorer));
  VOSSICK_ASSIGN_OR_RETURN(auto list, get_value(txn, dbi, key));
  return list_page(txn, explorer.dbs(), list.value_or(std::string_view()), page, stop);
}

}  // namespace

Result<std::optional<uint64_t>> get_retained_size(const Explorer& explorer, uint64_t id) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, begin_current(explorer));
  VOSSICK_ASSIGN_OR_RETURN(auto node, get_tree_node(txn, explorer.dbs(), id));
  if (!node) return std::optional<uint64_t>();
  return std::optional<uint64_t>(node->retained_size);
}

Result<std::optional<std::vector<ObjectSummary>>> get_dominator_chain(const Explorer& explorer, uint64_t id,
                                                                      StopCheck& stop) {
  const Databases& dbs = explorer.dbs();
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, begin_current(explorer));
  VOSSICK_ASSIGN_OR_RETURN(TypeSummary state, get_retained_state(txn, dbs));
  std::vector<uint64_t> chain;
  StopPoll poll(stop, kEntriesPerStopPoll);
  for (std::optional<uint64_t> next = id; next;) {
    VOSSICK_TRY(poll.poll());
    VOSSICK_ASSIGN_OR_RETURN(auto node, get_tree_node(txn, dbs, *next));
    if (!node) {
      if (chain.empty()) return std::optional<std::vector<ObjectSummary>>();
      return missing_tree_node(*next);
    }
    // A chain is never longer than the objects are many, unless damaged.
    if (chain.size() == state.count) {
      return Error::decoding("Decoding error: the dominator chain of ID " + std::to_string(id) + " has a cycle");
    }
    chain.push_back(*next);
    next = node->immediate_dominator;
  }
  std::reverse(chain.begin(), chain.end());
  VOSSICK_ASSIGN_OR_RETURN(std::vector<ObjectSummary> summaries, get_summaries_for_ids(txn, dbs, chain, stop));
  return std::optional<std::vector<ObjectSummary>>(std::move(summaries));
}

Result<RetainedListing> get_dominated_objects(const Explorer& explorer, std::optional<uint64_t> id,
                                              std::optional<uint64_t> page, StopCheck& stop) {
  const Databases& dbs = explorer.dbs();
  if (!id) return list_stored_page(explorer, dbs.dominated_by_root, kVirtualRootKey, page, stop);
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, begin_current(explorer));
  VOSSICK_ASSIGN_OR_RETURN(auto node, get_tree_node(txn, dbs, *id));
  return list_page(txn, dbs, node ? node->dominated : std::string_view(), page, stop);
}

Result<RetainedListing> get_objects_by_type_ordered_by_retained_size(const Explorer& explorer, const Type& type,
                                                                     std::optional<uint64_t> page, StopCheck& stop) {
  return list_stored_page(explorer, explorer.dbs().types_retained_size_index, type.encoded(), page, stop);
}

}  // namespace vossick::dominators
