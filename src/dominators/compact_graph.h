// CompactGraph: the stored object graph as dense arrays, the input of the
// dominator computation.
//
// Node i is the i-th object in ascending id order (the order of `primary`),
// so a node's index is its rank and the id array is sorted. References are
// compressed sparse rows of 32-bit node indexes: the successors of node i are
// targets[edge_begin[i] .. edge_begin[i + 1]). References to ids without a
// record, references of an object to itself and repeats of a reference in
// one record are left out: none changes what dominates what.
//
// Memory: 8 (id) + 8 (size) + 4 (type) + 4 (offset) bytes per node and 4
// per reference once built; while building, 8 per reference, and 12 to 20
// bytes per node for mapping ids to indexes and dropping repeats.
//
// Thread safety: none while building; a built graph may be read from any
// number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dominators/mapped_array.h"
#include "base/stop_check.h"
#include "storage/explorer.h"

namespace vossick::dominators {

inline constexpr uint32_t kNoNode = UINT32_MAX;
inline constexpr std::string_view kModuleTypeName = "builtins.module";

struct CompactGraph {
  MappedArray<uint64_t> ids;
  MappedArray<uint64_t> sizes;
  MappedArray<uint32_t> types;  // indexes into type_names
  std::vector<std::string> type_names;
  uint32_t module_type = kNoNode;  // the index of "builtins.module", if any object has it
  MappedArray<uint32_t> edge_begin;
  MappedArray<uint32_t> targets;

  uint32_t node_count() const noexcept { return static_cast<uint32_t>(ids.size()); }
  bool is_module(uint32_t node) const noexcept { return types[node] == module_type; }
};

// Builds a CompactGraph from objects given in strictly ascending id order.
class CompactGraphBuilder {
 public:
  // Makes room for `objects` objects and `references` references at once.
  void reserve(size_t objects, size_t references);

  // Fails with "too many objects or references for the dominator tree" when
  // objects and kept references together pass 2^32 - 1, and with a panic
  // when ids do not ascend.
  Status add(uint64_t id, std::string_view type, uint64_t size, std::span<const uint64_t> references);

  // Resolves references to node indexes. The builder is empty afterwards.
  Result<CompactGraph> finish(StopPoll& stop);

 private:
  uint32_t intern_type(std::string_view type);

  CompactGraph graph_;
  MappedArray<uint64_t> reference_ids_;  // resolved to indexes in place by finish
  // Looked up by string_view, without building a string per record.
  struct TypeHash {
    using is_transparent = void;
    size_t operator()(std::string_view type) const noexcept { return std::hash<std::string_view>()(type); }
  };
  std::unordered_map<std::string, uint32_t, TypeHash, std::equal_to<>> type_indexes_;
  uint32_t last_type_ = kNoNode;
};

// Reads every record of `primary` through `txn` into a CompactGraph.
Result<CompactGraph> load_compact_graph(const Transaction& txn, const Databases& dbs, StopPoll& stop);

}  // namespace vossick::dominators
