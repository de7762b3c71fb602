#include "dominators/compact_graph.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "storage/primary.h"

namespace vossick::dominators {

namespace {

Error too_large() { return Error::message("too many objects or references for the dominator tree"); }

// Maps ids to node indexes: open addressing over slots holding index + 1
// (0 is free), at most half full. Ids are often addresses (multiples of 16
// in a few ranges), which a multiplicative hash spreads evenly.
class IdIndex {
 public:
  explicit IdIndex(const MappedArray<uint64_t>& ids) : ids_(ids) {
    const size_t slots = std::bit_ceil(std::max<size_t>(16, 2 * ids.size()));
    shift_ = 64 - std::countr_zero(slots);
    mask_ = slots - 1;
    slots_.resize(slots);
    for (uint32_t i = 0; i < ids.size(); ++i) {
      size_t slot = home(ids[i]);
      while (slots_[slot] != 0) slot = (slot + 1) & mask_;
      slots_[slot] = i + 1;
    }
  }

  uint32_t find(uint64_t id) const noexcept {
    for (size_t slot = home(id);; slot = (slot + 1) & mask_) {
      const uint32_t entry = slots_[slot];
      if (entry == 0) return kNoNode;
      if (ids_[entry - 1] == id) return entry - 1;
    }
  }

 private:
  size_t home(uint64_t id) const noexcept { return (id * 0x9E3779B97F4A7C15ull) >> shift_; }

  const MappedArray<uint64_t>& ids_;
  MappedArray<uint32_t> slots_;
  int shift_ = 0;
  size_t mask_ = 0;
};

}  // namespace

uint32_t CompactGraphBuilder::intern_type(std::string_view type) {
  if (last_type_ != kNoNode && graph_.type_names[last_type_] == type) return last_type_;
  if (auto it = type_indexes_.find(type); it != type_indexes_.end()) return last_type_ = it->second;
  last_type_ = static_cast<uint32_t>(graph_.type_names.size());
  type_indexes_.emplace(type, last_type_);
  graph_.type_names.emplace_back(type);
  if (type == kModuleTypeName) graph_.module_type = last_type_;
  return last_type_;
}

void CompactGraphBuilder::reserve(size_t objects, size_t references) {
  graph_.ids.reserve(objects);
  graph_.sizes.reserve(objects);
  graph_.types.reserve(objects);
  graph_.edge_begin.reserve(objects + 1);
  reference_ids_.reserve(references);
}

Status CompactGraphBuilder::add(uint64_t id, std::string_view type, uint64_t size,
                                std::span<const uint64_t> references) {
  const size_t count = graph_.ids.size();
  if (count != 0 && id <= graph_.ids.back()) {
    return Error::panic("compact graph: id " + std::to_string(id) + " does not ascend");
  }
  if (graph_.edge_begin.empty()) graph_.edge_begin.push_back(0);
  for (uint64_t reference : references) {
    if (reference != id) reference_ids_.push_back(reference);
  }
  // Predecessor lists hold every reference and an entry per child of the
  // virtual root, indexed by 32 bits.
  if (reference_ids_.size() + count + 1 > UINT32_MAX) return too_large();
  graph_.ids.push_back(id);
  graph_.sizes.push_back(size);
  graph_.types.push_back(intern_type(type));
  graph_.edge_begin.push_back(static_cast<uint32_t>(reference_ids_.size()));
  return ok_status();
}

Result<CompactGraph> CompactGraphBuilder::finish(StopPoll& stop) {
  CompactGraph& graph = graph_;
  if (graph.edge_begin.empty()) graph.edge_begin.push_back(0);
  {
    const IdIndex index(graph.ids);
    // The last node that referenced each node + 1: a repeated reference is
    // dropped, which saves the later phases a visit.
    MappedArray<uint32_t> last_referrer(graph.node_count());
    // Each reference is rewritten in place as a 4-byte index at or before
    // its own 8-byte slot, after that slot has been read.
    auto* bytes = reinterpret_cast<unsigned char*>(reference_ids_.data());
    uint32_t kept = 0;
    uint32_t begin = 0;
    for (uint32_t node = 0; node < graph.node_count(); ++node) {
      const uint32_t end = graph.edge_begin[node + 1];
      for (uint32_t e = begin; e < end; ++e) {
        VOSSICK_TRY(stop.poll());
        uint64_t id;
        std::memcpy(&id, bytes + 8 * size_t{e}, 8);
        const uint32_t target = index.find(id);
        if (target == kNoNode || last_referrer[target] == node + 1) continue;
        last_referrer[target] = node + 1;
        std::memcpy(bytes + 4 * size_t{kept}, &target, 4);
        ++kept;
      }
      graph.edge_begin[node + 1] = kept;
      begin = end;
    }
    graph.targets = std::move(reference_ids_).reinterpret_as<uint32_t>(kept);
  }
  type_indexes_.clear();
  last_type_ = kNoNode;
  return std::move(graph_);
}

Result<CompactGraph> load_compact_graph(const Transaction& txn, const Databases& dbs, StopPoll& stop) {
  CompactGraphBuilder builder;
  MDB_stat stat{};
  if (int rc = mdb_stat(txn.raw(), dbs.primary, &stat); rc != 0) return Error::lmdb(rc);
  // Every object has a record, and every reference a key in `referrers`.
  MDB_stat referrers{};
  if (int rc = mdb_stat(txn.raw(), dbs.referrers, &referrers); rc != 0) return Error::lmdb(rc);
  builder.reserve(stat.ms_entries, referrers.ms_entries);
  VOSSICK_ASSIGN_OR_RETURN(PrimaryScan scan, PrimaryScan::open(txn, dbs));
  ObjectRecordNoValue record;
  for (;;) {
    VOSSICK_ASSIGN_OR_RETURN(bool more, scan.next());
    if (!more) break;
    VOSSICK_TRY(stop.poll());
    VOSSICK_TRY(decode_stored_record(scan.current_value(), record));
    VOSSICK_TRY(builder.add(scan.current_id(), record.type, record.size, record.references));
  }
  return builder.finish(stop);
}

}  // namespace vossick::dominators
