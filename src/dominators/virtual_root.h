// The virtual root of the dominator tree: which objects it references.
//
// A heap dump has no roots of its own, so they are derived from the graph:
// the source strongly connected components (those that no object outside
// them references) are what nothing else in the dump keeps alive. The
// virtual root references, in each source component, its objects of type
// "builtins.module" if it has any, and otherwise all of its objects. Every
// object is then reachable from the virtual root.
//
// Entering a source component through its modules matters on real heaps:
// the interpreter's modules, their dicts, classes and functions, and every
// instance that reaches back to its class form one component that nothing
// outside references. Entered through every member, all of those would hang
// directly under the root and retain nothing; entered through the modules,
// a cache among them retains its entries.
//
// Thread safety: reads the graph only; one call per thread.
#pragma once

#include <cstdint>

#include "dominators/compact_graph.h"

namespace vossick::dominators {

// One byte per node: 1 when the virtual root references the node, else 0.
// Finds the components with an iterative Tarjan traversal (no recursion)
// that keeps one 32-bit word per node beside its stacks.
Result<MappedArray<uint8_t>> find_virtual_root_children(const CompactGraph& graph, StopPoll& stop);

}  // namespace vossick::dominators
