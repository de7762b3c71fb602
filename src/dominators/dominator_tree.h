// The dominator tree of the object graph under its virtual root, and every
// object's retained size.
//
// Object d dominates v when every path from the virtual root to v passes
// through d; v's immediate dominator is its closest strict dominator. v's
// retained size is the sum of the direct sizes of v and of every object it
// dominates (what would be freed if v were gone), modulo 2^64.
//
// Computed with the semi-NCA algorithm (Georgiadis; semidominators by
// Lengauer and Tarjan's path-compressed evaluation, immediate dominators as
// nearest common ancestors in the depth-first tree): near-linear, iterative
// throughout, over arrays indexed by depth-first preorder.
//
// Memory beside the graph's ids, types and sizes (the sizes become the
// retained sizes): 8 bytes per reference while the predecessor lists are
// built from the graph's edges, 4 once the edges are freed; 28 to 32 bytes
// per node at the most.
//
// Thread safety: works on the graph it is given; one call per graph.
#pragma once

#include <cstdint>

#include "dominators/compact_graph.h"

namespace vossick::dominators {

// The immediate dominator of the virtual root's children.
inline constexpr uint32_t kVirtualRoot = kNoNode;

struct DominatorTree {
  MappedArray<uint32_t> idom;      // per node: its immediate dominator's node, or kVirtualRoot
  MappedArray<uint64_t> retained;  // per node
  uint64_t total_size = 0;         // the virtual root's retained size: all direct sizes, modulo 2^64
};

// Computes the tree of `graph` under a virtual root that references the
// nodes whose `root_children` byte is 1. Consumes the graph's edges and sizes
// (they are left empty), freeing their memory before its own largest arrays
// are allocated. Fails with a panic if some node is not reachable from the
// virtual root.
Result<DominatorTree> build_dominator_tree(CompactGraph& graph, const MappedArray<uint8_t>& root_children,
                                           StopPoll& stop);

}  // namespace vossick::dominators
