#include "dominators/retained_store.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

namespace vossick::dominators {

namespace {

// Every node, largest retained size first, equal sizes by ascending index,
// which is ascending id: the order of every stored list. A stable radix sort
// by the complemented size, a byte at a time from the lowest, over nodes in
// index order; bytes that no two sizes differ in are skipped.
MappedArray<uint32_t> rank_by_retained_size(const DominatorTree& tree) {
  struct Keyed {
    uint64_t key;
    uint32_t node;
  };
  const size_t n = tree.retained.size();
  MappedArray<Keyed> keyed(n);
  std::vector<std::array<uint32_t, 256>> counts(8);
  for (uint32_t node = 0; node < n; ++node) {
    keyed[node] = Keyed{~tree.retained[node], node};
    for (int b = 0; b < 8; ++b) ++counts[b][(keyed[node].key >> (8 * b)) & 0xFF];
  }
  MappedArray<Keyed> scratch(n);
  for (int b = 0; b < 8; ++b) {
    if (std::find(counts[b].begin(), counts[b].end(), n) != counts[b].end()) continue;
    uint32_t next = 0;
    for (uint32_t& count : counts[b]) next += std::exchange(count, next);
    for (const Keyed& k : keyed) scratch[counts[b][(k.key >> (8 * b)) & 0xFF]++] = k;
    std::swap(keyed, scratch);
  }
  scratch.reset();
  MappedArray<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = keyed[i].node;
  return order;
}

// `order` grouped by key_of(node) in 0 .. group_count - 1, each group keeping
// the nodes' order: group g is members[begin[g] .. begin[g + 1]).
struct Groups {
  MappedArray<uint32_t> begin;
  MappedArray<uint32_t> members;

  std::span<const uint32_t> group(size_t g) const {
    return std::span<const uint32_t>(members.data() + begin[g], begin[g + 1] - begin[g]);
  }
};

template <class KeyOf>
Groups group_stably(const MappedArray<uint32_t>& order, size_t group_count, KeyOf key_of) {
  Groups groups{MappedArray<uint32_t>(group_count + 1), MappedArray<uint32_t>(order.size())};
  for (uint32_t node : order) ++groups.begin[key_of(node) + 1];
  for (size_t g = 1; g <= group_count; ++g) groups.begin[g] += groups.begin[g - 1];
  // Filling advances begin[g] to the start of g + 1; shifting restores it.
  for (uint32_t node : order) groups.members[groups.begin[key_of(node)]++] = node;
  std::copy_backward(groups.begin.begin(), groups.begin.end() - 1, groups.begin.end());
  groups.begin[0] = 0;
  return groups;
}

// Writes values that end in an entry list, keys ascending, into a database
// emptied in this transaction: each is encoded straight into the space LMDB
// reserves.
class EntryListWriter {
 public:
  static Result<EntryListWriter> open(const Transaction& txn, MDB_dbi dbi, const CompactGraph& graph) {
    VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbi));
    return EntryListWriter(std::move(cursor), graph);
  }

  // `header`, then the entries of `nodes` in stored order, under a key after
  // every key put before.
  Status put(std::string_view key, std::string_view header, std::span<const uint32_t> nodes, StopPoll& stop) {
    MDB_val k = to_val(key);
    MDB_val v{header.size() + nodes.size() * kEntryBytes, nullptr};
    if (int rc = mdb_cursor_put(cursor_.raw(), &k, &v, MDB_APPEND | MDB_RESERVE); rc != 0) return Error::lmdb(rc);
    auto* out = static_cast<unsigned char*>(v.mv_data);
    if (!header.empty()) std::memcpy(out, header.data(), header.size());  // data() may be null
    out += header.size();
    for (uint32_t node : nodes) {
      VOSSICK_TRY(stop.poll());
      store_le64(graph_.ids[node], out);
      out += kEntryBytes;
    }
    return ok_status();
  }

 private:
  EntryListWriter(Cursor cursor, const CompactGraph& graph) : cursor_(std::move(cursor)), graph_(graph) {}

  Cursor cursor_;
  const CompactGraph& graph_;
};

Status store_tree_nodes(const Transaction& txn, const Databases& dbs, const CompactGraph& graph,
                        const DominatorTree& tree, const MappedArray<uint32_t>& order, StopPoll& stop) {
  const uint32_t n = graph.node_count();
  // The virtual root's children form the last group.
  const Groups children = group_stably(
      order, size_t{n} + 1, [&](uint32_t node) { return tree.idom[node] == kVirtualRoot ? n : tree.idom[node]; });
  VOSSICK_ASSIGN_OR_RETURN(EntryListWriter nodes, EntryListWriter::open(txn, dbs.dominator_tree, graph));
  unsigned char header[16];
  for (uint32_t node = 0; node < n; ++node) {
    const uint32_t idom = tree.idom[node];
    store_le64(tree.retained[node], header);
    store_le64(graph.ids[idom == kVirtualRoot ? node : idom], header + 8);
    const EncodedId key = encode_id(graph.ids[node]);
    VOSSICK_TRY(nodes.put(id_key(key), std::string_view(reinterpret_cast<const char*>(header), sizeof header),
                          children.group(node), stop));
  }
  VOSSICK_ASSIGN_OR_RETURN(EntryListWriter by_root, EntryListWriter::open(txn, dbs.dominated_by_root, graph));
  return by_root.put(kVirtualRootKey, {}, children.group(n), stop);
}

Status store_types_index(const Transaction& txn, const Databases& dbs, CompactGraph& graph,
                         const MappedArray<uint32_t>& order, StopPoll& stop) {
  const Groups by_type = group_stably(order, graph.type_names.size(), [&](uint32_t node) { return graph.types[node]; });
  graph.types.reset();
  // Keys ascend bytewise; "All Types" holds every object, in `order`. A type
  // literally named so shares its key and is already there.
  std::vector<uint32_t> types;
  for (uint32_t t = 0; t < graph.type_names.size(); ++t) {
    if (graph.type_names[t] != kAllTypesName) types.push_back(t);
  }
  std::sort(types.begin(), types.end(),
            [&](uint32_t a, uint32_t b) { return graph.type_names[a] < graph.type_names[b]; });
  VOSSICK_ASSIGN_OR_RETURN(EntryListWriter index,
                           EntryListWriter::open(txn, dbs.types_retained_size_index, graph));
  bool all_types_written = graph.node_count() == 0;
  for (uint32_t t : types) {
    if (!all_types_written && kAllTypesName < graph.type_names[t]) {
      VOSSICK_TRY(index.put(kAllTypesName, {}, order, stop));
      all_types_written = true;
    }
    VOSSICK_TRY(index.put(graph.type_names[t], {}, by_type.group(t), stop));
  }
  if (!all_types_written) VOSSICK_TRY(index.put(kAllTypesName, {}, order, stop));
  return ok_status();
}

}  // namespace

Status store_dominator_tree(const Transaction& write_txn, const Databases& dbs, CompactGraph& graph,
                            DominatorTree& tree, StopPoll& stop) {
  // Ranked before anything is written: its scratch memory is gone before
  // LMDB's pages for the writes pile up.
  const MappedArray<uint32_t> order = rank_by_retained_size(tree);
  for (MDB_dbi dbi : {dbs.retained_state, dbs.dominator_tree, dbs.dominated_by_root, dbs.types_retained_size_index}) {
    if (int rc = mdb_drop(write_txn.raw(), dbi, 0); rc != 0) return Error::lmdb(rc);
  }
  VOSSICK_TRY(store_tree_nodes(write_txn, dbs, graph, tree, order, stop));
  tree.idom.reset();
  VOSSICK_TRY(store_types_index(write_txn, dbs, graph, order, stop));
  const EncodedTypeSummary state = encode_type_summary(TypeSummary{graph.node_count(), tree.total_size});
  return put_value(write_txn, dbs.retained_state, kCurrentKey,
                   std::string_view(reinterpret_cast<const char*>(state.bytes), kTypeSummaryBytes));
}

Error missing_tree_node(uint64_t id) {
  return Error::decoding("Decoding error: Missing dominator tree node for ID " + std::to_string(id));
}

Result<TypeSummary> get_retained_state(const Transaction& txn, const Databases& dbs) {
  VOSSICK_ASSIGN_OR_RETURN(auto state, get_value(txn, dbs.retained_state, kCurrentKey));
  if (!state) {
    return Error::message(
        "retained sizes are not computed for this database: call compute_retained_sizes() (every import "
        "discards them)");
  }
  return decode_type_summary(*state);
}

Result<size_t> entry_list_length(std::string_view list) {
  if (list.size() % kEntryBytes != 0) {
    return Error::decoding("Invalid byte length for a retained size list: " + std::to_string(list.size()) +
                           " is not a multiple of 8");
  }
  return list.size() / kEntryBytes;
}

Result<std::optional<TreeNode>> get_tree_node(const Transaction& txn, const Databases& dbs, uint64_t id) {
  VOSSICK_ASSIGN_OR_RETURN(auto bytes, get_value(txn, dbs.dominator_tree, id_key(encode_id(id))));
  if (!bytes) return std::optional<TreeNode>();
  if (bytes->size() < 16) {
    return Error::decoding("Invalid byte length for a dominator tree node: expected at least 16, got " +
                           std::to_string(bytes->size()));
  }
  const auto* data = reinterpret_cast<const unsigned char*>(bytes->data());
  TreeNode node{load_le64(data), load_le64(data + 8), bytes->substr(16)};
  if (node.immediate_dominator == id) node.immediate_dominator.reset();
  VOSSICK_TRY(entry_list_length(node.dominated));
  return std::optional<TreeNode>(node);
}

}  // namespace vossick::dominators
