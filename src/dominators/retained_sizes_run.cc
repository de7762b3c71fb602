#include "dominators/retained_sizes_run.h"

#include "dominators/compact_graph.h"
#include "dominators/dominator_tree.h"
#include "dominators/retained_store.h"
#include "dominators/virtual_root.h"

namespace vossick::dominators {

namespace {

// Steps (nodes or references) of a phase between questions to the StopCheck.
constexpr uint32_t kStepsPerStopPoll = 4096;

}  // namespace

Status compute_retained_sizes(const Explorer& explorer, StopCheck& stop_requested) {
  const Databases& dbs = explorer.dbs();
  StopPoll stop(stop_requested, kStepsPerStopPoll);
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_write(explorer.env(), stop_requested));
  VOSSICK_ASSIGN_OR_RETURN(CompactGraph graph, load_compact_graph(txn, dbs, stop));
  DominatorTree tree;
  {
    VOSSICK_ASSIGN_OR_RETURN(MappedArray<uint8_t> root_children, find_virtual_root_children(graph, stop));
    VOSSICK_ASSIGN_OR_RETURN(tree, build_dominator_tree(graph, root_children, stop));
  }
  VOSSICK_TRY(store_dominator_tree(txn, dbs, graph, tree, stop));
  return txn.commit();
}

}  // namespace vossick::dominators
