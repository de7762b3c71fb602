// The stored dominator tree and retained sizes: four databases of the
// explorer's environment beside the six that hold the objects, which they
// never touch.
//
//  dominator_tree (MDB_INTEGERKEY): object id -> its node of the tree: its
//    retained size, 8 bytes little-endian; its immediate dominator's id, 8
//    bytes little-endian, or its own id when it is directly under the virtual
//    root (nothing strictly dominates itself); then the entry list of the
//    objects it immediately dominates.
//  dominated_by_root: the one key "virtual root" -> the entry list of the
//    objects directly under the virtual root.
//  types_retained_size_index: Type -> the entry list of the objects of that
//    type; "All Types" -> that of every object.
//  retained_state: the one key "current" -> a TypeSummary of the objects the
//    results describe (their count and total direct size). It exists only
//    while the results describe the stored objects: the computation writes
//    it last in its transaction, every import empties the database in its own.
//
// An entry list is 8-byte little-endian ids back to back, largest retained
// size first, equal sizes by ascending id. That order is part of the query
// contract; the sizes themselves are read from each id's tree node, since
// LMDB holds every page the computation writes in memory until it commits
// and a list repeating them would take a third more. A page of a list is a
// slice of one value, so any page is found without reading those before it.
//
// Thread safety: as the transaction passed in.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "dominators/compact_graph.h"
#include "dominators/dominator_tree.h"

namespace vossick::dominators {

inline constexpr std::string_view kVirtualRootKey = "virtual root";
inline constexpr std::string_view kCurrentKey = "current";
inline constexpr size_t kEntryBytes = 8;

// Replaces everything in the four databases by `tree` over `graph` (the
// graph's ids, types and type names; its edges may be gone), through
// `write_txn`, and marks the results current. Frees the tree's immediate
// dominators and the graph's types as soon as it is done with them, since
// LMDB holds every page written in memory until the commit.
Status store_dominator_tree(const Transaction& write_txn, const Databases& dbs, CompactGraph& graph,
                            DominatorTree& tree, StopPoll& stop);

// The state record: the count and total direct size of the objects the
// results describe. While the results are not current, the error of every
// query: "retained sizes are not computed for this database: call
// compute_retained_sizes() (every import discards them)".
Result<TypeSummary> get_retained_state(const Transaction& txn, const Databases& dbs);

// The entries of one entry list, or a decoding error when its length is not
// a multiple of 8.
Result<size_t> entry_list_length(std::string_view list);

struct TreeNode {
  uint64_t retained_size = 0;
  std::optional<uint64_t> immediate_dominator;  // none: directly under the virtual root
  std::string_view dominated;  // entry list; valid as long as the transaction
};

// The error of an object without a node while the results are current.
Error missing_tree_node(uint64_t id);

// Empty when no object has that id. A stored value shorter than 16 bytes, or
// with a broken entry list, is a decoding error.
Result<std::optional<TreeNode>> get_tree_node(const Transaction& txn, const Databases& dbs, uint64_t id);

}  // namespace vossick::dominators
