#include "subtree_sizes/post_import.h"

#include <optional>
#include <string>
#include <type_traits>

#include "storage/type_summaries.h"
#include "subtree_sizes/scc_size_visitor.h"
#include "subtree_sizes/size_sketch/size_sketch.h"
#include "subtree_sizes/subtree_size_writer.h"
#include "subtree_sizes/summed_radix_tree/summed_radix_tree.h"
#include "subtree_sizes/tarjan/tarjan.h"

namespace vossick {

namespace {

// Runs the traversal with a writer that holds what it is given, then has it
// write what it holds.
template <class Estimator, class Writer>
Status traverse_then_flush(const Explorer& explorer, const Transaction& read_txn, PrimaryScan roots, Writer& writer,
                           StopCheck& stop) {
  using Visitor = StronglyConnectedComponentsVisitor<Estimator, Writer>;
  // Exact trees live in a node pool of their own, dropped whole at the end
  // instead of node by node (millions of them, a cache miss each).
  std::optional<SummedRadixTree::Scope> tree_nodes;
  if constexpr (std::is_same_v<Estimator, SummedRadixTree>) tree_nodes.emplace();
  Visitor visitor(explorer.dbs(), read_txn, writer, std::move(roots), stop);
  Status traversed = ok_status();
  {
    tarjan::TarjanState<Visitor> state;
    traversed = visit_sccs(visitor, state);
    if (tree_nodes) tree_nodes->discard_on_release();
  }
  // Stopping writes nothing more: the pass is aborted anyway.
  if (!traversed.ok() && traversed.error().kind() == ErrorKind::kInterrupted) return traversed;
  // What was emitted before the traversal's own error comes first.
  Status written = writer.flush();
  return written.ok() ? traversed : written;
}

template <class Estimator>
Status estimate_with(const Explorer& explorer, const Transaction& write_txn, PassWrites writes, BatchLimits limits,
                     StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction read_txn, Transaction::begin_read(explorer.env()));
  // Declared after read_txn: the cursor closes before the snapshot ends.
  VOSSICK_ASSIGN_OR_RETURN(PrimaryScan roots, PrimaryScan::open(read_txn, explorer.dbs()));
  if (writes == PassWrites::kEmitOrder) {
    VOSSICK_ASSIGN_OR_RETURN(SubtreeSizeWriter writer, SubtreeSizeWriter::open(explorer.dbs(), write_txn));
    StronglyConnectedComponentsVisitor<Estimator, SubtreeSizeWriter> visitor(explorer.dbs(), read_txn, writer,
                                                                             std::move(roots), stop);
    return visit_sccs(visitor);
  }
  if (writes == PassWrites::kCompact) {
    CompactSubtreeSizeWriter writer(explorer.dbs(), read_txn, write_txn, limits, stop);
    return traverse_then_flush<Estimator>(explorer, read_txn, std::move(roots), writer, stop);
  }
  KeyOrderedSubtreeSizeWriter writer(explorer.dbs(), write_txn, limits);
  return traverse_then_flush<Estimator>(explorer, read_txn, std::move(roots), writer, stop);
}

}  // namespace

Status run_subtree_size_estimation(const Explorer& explorer, const Transaction& write_txn, EstimatorPrecision precision,
                                   PassWrites writes, BatchLimits limits, StopCheck& stop) {
  switch (precision) {
    case EstimatorPrecision::kLow: return estimate_with<SizeSketch<7>>(explorer, write_txn, writes, limits, stop);
    case EstimatorPrecision::kMedium: return estimate_with<SizeSketch<31>>(explorer, write_txn, writes, limits, stop);
    case EstimatorPrecision::kHigh: return estimate_with<SizeSketch<127>>(explorer, write_txn, writes, limits, stop);
    case EstimatorPrecision::kExact: return estimate_with<SummedRadixTree>(explorer, write_txn, writes, limits, stop);
    case EstimatorPrecision::kNoEstimates: break;
  }
  return Error::panic("subtree-size estimation run with precision " + std::to_string(static_cast<int>(precision)));
}

Status run_post_import_processing(const Explorer& explorer, EstimatorPrecision precision, TypeSummaries summaries,
                                  StopCheck& stop) {
  if (summaries == TypeSummaries::kCurrent && precision == EstimatorPrecision::kNoEstimates) return ok_status();
  VOSSICK_ASSIGN_OR_RETURN(Transaction write_txn, Transaction::begin_write(explorer.env(), stop));
  if (summaries == TypeSummaries::kRebuild) {
    // The summaries count what the import committed, never the pass's own writes.
    VOSSICK_ASSIGN_OR_RETURN(Transaction read_txn, Transaction::begin_read(explorer.env()));
    VOSSICK_TRY(rebuild_type_summaries(read_txn, write_txn, explorer.dbs(), stop));
  }
  if (precision != EstimatorPrecision::kNoEstimates) {
    VOSSICK_TRY(run_subtree_size_estimation(explorer, write_txn, precision, PassWrites::kCompact, {}, stop));
  }
  return write_txn.commit();
}

}  // namespace vossick
