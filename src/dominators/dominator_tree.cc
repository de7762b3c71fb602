#include "dominators/dominator_tree.h"

#include <algorithm>

namespace vossick::dominators {

namespace {

// Depth-first numbering from the virtual root, which is number 0: nodes get
// 1 to n. pre[node] is a node's number, vertex[number] the node, and
// parent[number] the number of its parent in the depth-first tree.
struct Preorder {
  MappedArray<uint32_t> pre;
  MappedArray<uint32_t> vertex;
  MappedArray<uint32_t> parent;
};

struct DfsFrame {
  uint32_t node;
  uint32_t next_edge;
};

Result<Preorder> number_depth_first(const CompactGraph& graph, const MappedArray<uint8_t>& root_children,
                                    StopPoll& stop) {
  const uint32_t n = graph.node_count();
  Preorder order{MappedArray<uint32_t>(n), MappedArray<uint32_t>(size_t{n} + 1),
                 MappedArray<uint32_t>(size_t{n} + 1)};
  MappedArray<DfsFrame> frames;
  uint32_t count = 0;
  auto enter = [&](uint32_t node, uint32_t parent) {
    order.pre[node] = ++count;
    order.vertex[count] = node;
    order.parent[count] = parent;
    frames.push_back(DfsFrame{node, graph.edge_begin[node]});
  };
  for (uint32_t start = 0; start < n; ++start) {
    if (root_children[start] == 0 || order.pre[start] != 0) continue;
    enter(start, 0);
    while (!frames.empty()) {
      VOSSICK_TRY(stop.poll());
      DfsFrame& frame = frames.back();
      if (frame.next_edge == graph.edge_begin[frame.node + 1]) {
        frames.pop_back();
        continue;
      }
      const uint32_t next = graph.targets[frame.next_edge++];
      if (order.pre[next] == 0) enter(next, order.pre[frame.node]);
    }
  }
  if (count != n) {
    return Error::panic("dominator tree: " + std::to_string(n - count) + " of " + std::to_string(n) +
                        " objects are not reachable from the virtual root");
  }
  return order;
}

// The predecessors of each preorder number w, as preorder numbers:
// numbers[begin[w] .. begin[w + 1]).
struct Predecessors {
  MappedArray<uint32_t> begin;
  MappedArray<uint32_t> numbers;
};

// Inverts the graph's edges, and the virtual root's, into preorder numbers,
// then frees the graph's edges (rewritten on the way).
Result<Predecessors> collect_predecessors(CompactGraph& graph, const MappedArray<uint8_t>& root_children,
                                          const MappedArray<uint32_t>& pre, StopPoll& stop) {
  const uint32_t n = graph.node_count();
  size_t root_edges = 0;
  for (uint32_t node = 0; node < n; ++node) root_edges += root_children[node];
  Predecessors preds{MappedArray<uint32_t>(size_t{n} + 2), MappedArray<uint32_t>(graph.targets.size() + root_edges)};
  // Targets become preorder numbers in place: one random read each, not two.
  for (uint32_t& target : graph.targets) {
    target = pre[target];
    ++preds.begin[target + 1];
  }
  for (uint32_t node = 0; node < n; ++node) preds.begin[pre[node] + 1] += root_children[node];
  for (uint32_t w = 1; w <= n + 1; ++w) preds.begin[w] += preds.begin[w - 1];
  // Filling advances begin[w] to the start of w + 1; shifting restores it.
  for (uint32_t node = 0; node < n; ++node) {
    VOSSICK_TRY(stop.poll());
    if (root_children[node]) preds.numbers[preds.begin[pre[node]]++] = 0;
    for (uint32_t e = graph.edge_begin[node]; e < graph.edge_begin[node + 1]; ++e) {
      preds.numbers[preds.begin[graph.targets[e]]++] = pre[node];
    }
  }
  std::copy_backward(preds.begin.begin(), preds.begin.end() - 1, preds.begin.end());
  preds.begin[0] = 0;
  graph.edge_begin.reset();
  graph.targets.reset();
  return preds;
}

// Semi-NCA over preorder numbers; returns the immediate dominator's number
// of every number (0 for the virtual root's). `ancestor` is the depth-first
// parent array, which path compression rewrites.
class SemiNca {
 public:
  SemiNca(MappedArray<uint32_t>& ancestor, const Predecessors& preds)
      : ancestor_(ancestor), preds_(preds), semi_(ancestor.size()), label_(ancestor.size()) {}

  Result<MappedArray<uint32_t>> run(StopPoll& stop) {
    const auto n = static_cast<uint32_t>(ancestor_.size() - 1);
    // Parents before compression rewrites them: the starting candidates.
    MappedArray<uint32_t> idom(size_t{n} + 1);
    std::copy(ancestor_.begin(), ancestor_.end(), idom.begin());
    for (uint32_t w = 0; w <= n; ++w) semi_[w] = label_[w] = w;
    for (uint32_t w = n; w >= 1; --w) {
      VOSSICK_TRY(stop.poll());
      // Not yet linked, so still the parent, which is a semidominator
      // candidate; a child of the virtual root in the depth-first tree can
      // have no smaller one.
      uint32_t semi = ancestor_[w];
      if (semi != 0) {
        for (uint32_t e = preds_.begin[w]; e < preds_.begin[w + 1]; ++e) {
          semi = std::min(semi, semi_[eval(preds_.numbers[e], w + 1)]);
        }
      }
      semi_[w] = semi;
    }
    // The immediate dominator is the nearest ancestor of the parent that is
    // not below the semidominator; ancestors already hold theirs.
    for (uint32_t w = 1; w <= n; ++w) {
      uint32_t candidate = idom[w];
      while (candidate > semi_[w]) candidate = idom[candidate];
      idom[w] = candidate;
    }
    return idom;
  }

 private:
  // The number with the least semidominator on the path from v up to the
  // root of its linked tree (the numbers >= last_linked are linked),
  // compressing that path.
  uint32_t eval(uint32_t v, uint32_t last_linked) {
    if (ancestor_[v] < last_linked) return label_[v];
    uint32_t x = v;
    do {
      path_.push_back(x);
      x = ancestor_[x];
    } while (ancestor_[x] >= last_linked);
    uint32_t above = x;
    uint32_t above_label = label_[above];
    do {
      x = path_.back();
      path_.pop_back();
      ancestor_[x] = ancestor_[above];
      if (semi_[above_label] < semi_[label_[x]]) {
        label_[x] = above_label;
      } else {
        above_label = label_[x];
      }
      above = x;
    } while (!path_.empty());
    return label_[x];
  }

  MappedArray<uint32_t>& ancestor_;
  const Predecessors& preds_;
  MappedArray<uint32_t> semi_;
  MappedArray<uint32_t> label_;
  MappedArray<uint32_t> path_;
};

}  // namespace

Result<DominatorTree> build_dominator_tree(CompactGraph& graph, const MappedArray<uint8_t>& root_children,
                                           StopPoll& stop) {
  const uint32_t n = graph.node_count();
  VOSSICK_ASSIGN_OR_RETURN(Preorder order, number_depth_first(graph, root_children, stop));
  MappedArray<uint32_t> idom;
  {
    VOSSICK_ASSIGN_OR_RETURN(Predecessors preds, collect_predecessors(graph, root_children, order.pre, stop));
    SemiNca semi_nca(order.parent, preds);
    VOSSICK_ASSIGN_OR_RETURN(idom, semi_nca.run(stop));
  }
  order.parent.reset();

  DominatorTree tree;
  tree.retained = std::move(graph.sizes);
  for (uint64_t size : tree.retained) tree.total_size += size;
  // Reverse preorder: a node's dominated nodes all come after it.
  for (uint32_t w = n; w >= 1; --w) {
    if (idom[w] != 0) tree.retained[order.vertex[idom[w]]] += tree.retained[order.vertex[w]];
  }
  // Into node indexes, in the array that held the preorder numbers.
  tree.idom = std::move(order.pre);
  for (uint32_t node = 0; node < n; ++node) {
    const uint32_t d = idom[tree.idom[node]];
    tree.idom[node] = d == 0 ? kVirtualRoot : order.vertex[d];
  }
  return tree;
}

}  // namespace vossick::dominators
