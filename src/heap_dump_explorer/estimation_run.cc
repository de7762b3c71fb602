#include "heap_dump_explorer/post_import.h"
#include "heap_dump_explorer/scc_size_visitor.h"
#include "size_sketch/size_sketch.h"
#include "summed_radix_tree/summed_radix_tree.h"
#include "tarjan/tarjan.h"

namespace vossick {

namespace {

template <class Estimator>
Status estimate_with(const Explorer& explorer, const Transaction& write_txn) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction read_txn, Transaction::begin_read(explorer.env()));
  VOSSICK_ASSIGN_OR_RETURN(PrimaryScan roots, PrimaryScan::open(read_txn, explorer.dbs()));
  // Declared after read_txn: the visitor's cursor closes before the snapshot ends.
  StronglyConnectedComponentsVisitor<Estimator> visitor(explorer.dbs(), read_txn, write_txn, std::move(roots));
  return visit_sccs(visitor);
}

}  // namespace

Status run_subtree_size_estimation(const Explorer& explorer, const Transaction& write_txn,
                                   EstimatorPrecision precision) {
  switch (precision) {
    case EstimatorPrecision::kLow: return estimate_with<SizeSketch<7>>(explorer, write_txn);
    case EstimatorPrecision::kMedium: return estimate_with<SizeSketch<31>>(explorer, write_txn);
    case EstimatorPrecision::kHigh: return estimate_with<SizeSketch<127>>(explorer, write_txn);
    case EstimatorPrecision::kExact: return estimate_with<SummedRadixTree>(explorer, write_txn);
    case EstimatorPrecision::kNoEstimates: break;
  }
  return Error::panic("subtree-size estimation run with precision " +
                      std::to_string(static_cast<int>(precision)));
}

}  // namespace vossick
