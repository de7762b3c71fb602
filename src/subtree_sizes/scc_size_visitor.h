// The visitor that presents the object graph stored in `primary` to the SCC
// traversal and writes every object's estimated subtree size back.
//
// Subtree size: the total `size` of every object reachable along references,
// the object itself included, each counted once. References to ids without a
// record are ignored, and objects of type "builtins.module" are not entered
// through a reference (a module is still a root of its own).
//
// Reads (roots and successors) go through `read_txn`, a snapshot taken before
// the pass, so the traversal never sees the pass's own writes. Each member's
// estimate goes to a sink, which rewrites the record and indexes it through
// the write transaction (subtree_size_writer.h).
//
// Thread safety: a visitor is used on one thread at a time. Sinks run on the
// write transaction's thread.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "base/stop_check.h"
#include "base/u64_hash_map.h"
#include "records/record.h"
#include "storage/databases.h"
#include "storage/environment.h"
#include "storage/primary.h"

namespace vossick {

// Sink: `Status write(uint64_t member_id, uint64_t estimate)`.
//
// `stop` is asked every few thousand objects entered and emitted; when it
// says stop, the traversal ends with Error::interrupted().
template <class Estimator, class Sink>
class StronglyConnectedComponentsVisitor {
 public:
  using Node = ObjectRecordNoValue;
  using SccValue = Estimator;

  StronglyConnectedComponentsVisitor(const Databases& dbs, const Transaction& read_txn, Sink& sink,
                                     PrimaryScan primary_iter, StopCheck& stop = never_stop())
      : dbs_(dbs),
        read_txn_(read_txn),
        sink_(sink),
        primary_iter_(std::move(primary_iter)),
        stop_poll_(stop, kObjectsPerStopPoll) {}

  // Roots in ascending id order, skipping what the traversal has visited.
  // Every record of `primary` is asked about, most of them visited already:
  // the walk reads kRootsAhead records ahead so that their bookkeeping slots
  // are loaded before they are asked about. (A read snapshot's values stay
  // in place until it ends.) A failure of the walk is returned when the
  // records before it have been handed out.
  template <class IsVisited>
  Result<std::optional<Node>> next_unvisited_node(const IsVisited& is_visited) {
    for (;;) {
      while (roots_ahead_ < kRootsAhead && !walk_stopped_) {
        Result<bool> more = primary_iter_.next();
        if (!more.ok() || !more.value()) {
          if (!more.ok()) walk_error_ = std::move(more).error();
          walk_stopped_ = true;
          break;
        }
        RootAhead& root = root_ring_[(root_next_ + roots_ahead_++) % kRootsAhead];
        root.id = primary_iter_.current_id();
        root.value = primary_iter_.current_value();
        is_visited.prefetch(root.id);
      }
      if (roots_ahead_ == 0) {
        if (walk_error_) return *walk_error_;
        return std::optional<Node>();
      }
      const RootAhead root = root_ring_[root_next_];
      root_next_ = (root_next_ + 1) % kRootsAhead;
      --roots_ahead_;
      if (is_visited(root.id)) continue;
      Node node;
      VOSSICK_TRY(decode_stored_record(root.value, node));
      // Modules are entered only as roots; remembering them here lets
      // get_successors trust that every other visited id is a plain record.
      if (node.type == kModuleTypeName) module_ids_.try_emplace(node.id, Unit{});
      return std::optional<Node>(std::move(node));
    }
  }

  // The records of `node`'s references, in order, leaving out ids without a
  // record and module objects. Self references and repeats stay. A visited
  // id had a record and is no module (visited modules are in module_ids_),
  // and the traversal reads only its id, so its record is not fetched.
  template <class IsVisited>
  Result<std::vector<Node>> get_successors(const Node& node, const IsVisited& is_visited) {
    VOSSICK_TRY(stop_poll_.poll());
    std::vector<Node> successors;
    successors.reserve(node.references.size());
    for (uint64_t id : node.references) {
      if (module_ids_.contains(id)) continue;
      if (is_visited(id)) {
        successors.emplace_back().id = id;
        continue;
      }
      Node successor;
      VOSSICK_ASSIGN_OR_RETURN(bool found, get_record_into(read_txn_, dbs_, id, successor));
      if (!found) continue;
      if (successor.type == kModuleTypeName) {
        module_ids_.try_emplace(id, Unit{});
        continue;
      }
      // Entering this successor asks whether its references were visited;
      // on a deep path it is entered next, too soon for a cache miss.
      for (size_t i = 0; i < std::min<size_t>(successor.references.size(), kPrefetchedReferences); ++i) {
        is_visited.prefetch(successor.references[i]);
      }
      successors.push_back(std::move(successor));
    }
    return successors;
  }

  uint64_t node_id(const Node& node) const { return node.id; }
  uint64_t node_value(const Node& node) const { return node.size; }

  void include(Estimator& accumulator, const Estimator& other) const { accumulator.include(other); }

  Estimator add_node_value_to_scc_value(uint64_t node_value_sum, uint64_t scc_index,
                                        const std::optional<Estimator>& scc_value) {
    Estimator value = scc_value ? *scc_value : Estimator::empty();
    value.add_in_place(scc_index, node_value_sum);
    return value;
  }

  Status emit_result(uint64_t member_id, uint64_t /*node_value_sum*/, const Estimator& scc_value) {
    // A large SCC emits all its members at once, with no node entered between.
    VOSSICK_TRY(stop_poll_.poll());
    return sink_.write(member_id, estimate_of(scc_value));
  }

 private:
  struct Unit {};
  struct RootAhead {
    uint64_t id = 0;
    std::string_view value;
  };

  static constexpr size_t kPrefetchedReferences = 4;
  static constexpr size_t kRootsAhead = 16;
  static constexpr uint32_t kObjectsPerStopPoll = 4096;

  // Every member of an SCC is emitted with the same value. A sketch's estimate
  // is a selection over its slots, so it is computed once per distinct value;
  // comparing the slots costs far less than selecting again. A tree's
  // estimate is a field read.
  uint64_t estimate_of(const Estimator& value) {
    if constexpr (std::is_trivially_copyable_v<Estimator>) {
      if (!last_estimated_ || !(*last_estimated_ == value)) {
        last_estimated_ = value;
        last_estimate_ = value.estimate();
      }
      return last_estimate_;
    } else {
      return value.estimate();
    }
  }

  U64HashMap<Unit> module_ids_;
  const Databases& dbs_;
  const Transaction& read_txn_;
  Sink& sink_;
  PrimaryScan primary_iter_;
  std::array<RootAhead, kRootsAhead> root_ring_;
  size_t root_next_ = 0;
  size_t roots_ahead_ = 0;
  bool walk_stopped_ = false;
  std::optional<Error> walk_error_;
  std::optional<Estimator> last_estimated_;
  uint64_t last_estimate_ = 0;
  StopPoll stop_poll_;
};

}  // namespace vossick
