// The iterative Tarjan traversal against SCCs and reachability computed
// plainly on random graphs. (Paths hundreds of thousands deep are imported in
// the module's tests; visitors' errors ending the traversal, in the pass's
// tests.)

#include "subtree_sizes/tarjan/tarjan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace vossick {
namespace {

// SCC value of the test visitor: the indexes of the SCCs reached.
using SccSet = std::set<uint64_t>;

// Move-only, so any copy of a node inside the traversal fails to compile.
struct TestNode {
  TestNode(uint64_t node_id, uint64_t node_value) : id(node_id), value(node_value) {}
  TestNode(TestNode&&) = default;
  TestNode& operator=(TestNode&&) = default;
  TestNode(const TestNode&) = delete;

  uint64_t id;
  uint64_t value;
};

// Nodes in the order the visitor offers them as roots.
struct Graph {
  std::vector<uint64_t> order;
  std::map<uint64_t, std::pair<uint64_t, std::vector<uint64_t>>> nodes;  // id -> value, successors

  Graph& add(uint64_t id, uint64_t value, std::vector<uint64_t> successors = {}) {
    order.push_back(id);
    nodes[id] = {value, std::move(successors)};
    return *this;
  }
};

// Presents a Graph, offering all nodes as roots in `order` (skipping those
// is_visited reports, unless told otherwise), checks is_visited at every
// call, and records the nodes entered, the SCC values built and the results
// emitted.
class GraphVisitor {
 public:
  using Node = TestNode;
  using SccValue = SccSet;
  struct Added {
    uint64_t sum, scc_index;
    std::optional<SccSet> merged;
    SccSet value;
  };
  struct Emitted {
    uint64_t id, sum;
    SccSet value;
    uint64_t scc_index;  // of the add_node_value_to_scc_value call just before
  };

  explicit GraphVisitor(Graph graph) : graph_(std::move(graph)) {}

  bool skip_visited_roots = true;
  std::vector<uint64_t> entered;
  std::vector<Added> added;
  std::vector<Emitted> emitted;

  template <class IsVisited>
  Result<std::optional<Node>> next_unvisited_node(const IsVisited& is_visited) {
    check(is_visited);
    while (cursor_ < graph_.order.size()) {
      const uint64_t id = graph_.order[cursor_++];
      if (!skip_visited_roots || !is_visited(id)) return std::optional<Node>(make_node(id));
    }
    return std::optional<Node>();
  }

  template <class IsVisited>
  Result<std::vector<Node>> get_successors(const Node& node, const IsVisited& is_visited) {
    entered.push_back(node.id);
    check(is_visited);
    std::vector<Node> successors;
    for (uint64_t id : graph_.nodes.at(node.id).second) successors.push_back(make_node(id));
    return successors;
  }

  uint64_t node_id(const Node& node) const { return node.id; }
  uint64_t node_value(const Node& node) const { return node.value; }
  void include(SccSet& accumulator, const SccSet& other) const { accumulator.insert(other.begin(), other.end()); }

  SccSet add_node_value_to_scc_value(uint64_t sum, uint64_t scc_index, const std::optional<SccSet>& merged) {
    SccSet value = merged.value_or(SccSet{});
    value.insert(scc_index);
    added.push_back(Added{sum, scc_index, merged, value});
    return value;
  }

  Status emit_result(uint64_t member_id, uint64_t sum, const SccSet& value) {
    emitted.push_back(Emitted{member_id, sum, value, added.back().scc_index});
    return ok_status();
  }

 private:
  Node make_node(uint64_t id) const { return Node(id, graph_.nodes.at(id).first); }
  template <class IsVisited>
  void check(const IsVisited& is_visited) const {
    for (const auto& [id, node] : graph_.nodes) {
      EXPECT_EQ(is_visited(id), std::find(entered.begin(), entered.end(), id) != entered.end()) << id;
    }
  }

  Graph graph_;
  size_t cursor_ = 0;
};

static_assert(GraphSCCVisitor<GraphVisitor>);

// Random graphs (self edges, repeated successors, wrapping sums, extreme ids,
// visited roots offered again) against SCCs and reachability computed
// plainly.
TEST(TarjanRandomized, MatchesPlainReachability) {
  std::mt19937_64 random(20240611);
  constexpr size_t kMaxNodes = 60;
  for (int round = 0; round < 400; ++round) {
    const size_t n = 1 + random() % kMaxNodes;
    std::bernoulli_distribution has_edge(std::vector<double>{0.0, 0.02, 0.05, 0.1, 0.3}[random() % 5]);
    std::vector<uint64_t> ids, values;
    std::map<uint64_t, size_t> position;
    while (ids.size() < n) {
      const uint64_t choice = random() % 8;
      const uint64_t id = choice == 0 ? 0 : choice == 1 ? UINT64_MAX : choice == 2 ? random() % 100 : random();
      if (position.try_emplace(id, ids.size()).second) ids.push_back(id);
    }
    std::vector<std::vector<size_t>> edges(n);
    for (size_t u = 0; u < n; ++u) {
      values.push_back(random() % 4 == 0 ? random() % 10 : random());
      for (size_t v = 0; v < n; ++v) {
        if (has_edge(random)) edges[u].push_back(v);
      }
      if (!edges[u].empty() && random() % 3 == 0) edges[u].push_back(edges[u][random() % edges[u].size()]);
      std::shuffle(edges[u].begin(), edges[u].end(), random);
    }
    std::vector<size_t> root_order(n);
    std::iota(root_order.begin(), root_order.end(), 0);
    std::shuffle(root_order.begin(), root_order.end(), random);
    Graph graph;
    for (size_t i : root_order) {
      std::vector<uint64_t> successor_ids;
      for (size_t v : edges[i]) successor_ids.push_back(ids[v]);
      graph.add(ids[i], values[i], successor_ids);
    }
    std::vector<std::bitset<kMaxNodes>> reaches(n);
    for (size_t u = 0; u < n; ++u) {
      std::vector<size_t> pending{u};
      reaches[u].set(u);
      while (!pending.empty()) {
        const size_t w = pending.back();
        pending.pop_back();
        for (size_t v : edges[w]) {
          if (!reaches[u].test(v)) pending.push_back(v);
          reaches[u].set(v);
        }
      }
    }

    GraphVisitor visitor(graph);
    visitor.skip_visited_roots = random() % 2 == 0;
    SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(n) + " nodes");
    ASSERT_OK(visit_sccs(visitor));
    // Every node entered and emitted once.
    ASSERT_EQ(visitor.entered.size(), n);
    ASSERT_EQ(std::set<uint64_t>(visitor.entered.begin(), visitor.entered.end()).size(), n);
    ASSERT_EQ(visitor.emitted.size(), n);
    std::vector<size_t> entry_rank(n);
    for (size_t rank = 0; rank < n; ++rank) entry_rank[position.at(visitor.entered[rank])] = rank;
    std::vector<std::optional<uint64_t>> scc_of(n);
    std::vector<std::vector<size_t>> members(visitor.added.size());
    for (const GraphVisitor::Emitted& emit : visitor.emitted) {
      const size_t u = position.at(emit.id);
      scc_of[u] = emit.scc_index;
      members[emit.scc_index].push_back(u);
      EXPECT_EQ(emit.sum, visitor.added[emit.scc_index].sum);
      EXPECT_EQ(emit.value, visitor.added[emit.scc_index].value);
    }
    for (size_t index = 0; index < visitor.added.size(); ++index) {
      const GraphVisitor::Added& add = visitor.added[index];
      const std::vector<size_t>& scc = members[index];
      ASSERT_EQ(add.scc_index, index);
      ASSERT_FALSE(scc.empty());
      uint64_t sum = 0;
      SccSet reached;
      bool leaves_scc = false;
      for (size_t u : scc) {
        sum += values[u];
        for (size_t v = 0; v < n; ++v) {
          EXPECT_EQ(reaches[u].test(v) && reaches[v].test(u), scc_of[v] == index);
          if (reaches[u].test(v)) reached.insert(*scc_of[v]);
        }
        for (size_t v : edges[u]) leaves_scc |= scc_of[v] != index;
      }
      EXPECT_EQ(add.sum, sum);
      EXPECT_EQ(add.value, reached);
      EXPECT_EQ(*reached.rbegin(), index) << "an SCC was delivered before one it reaches";
      reached.erase(index);
      EXPECT_EQ(add.merged, leaves_scc ? std::optional<SccSet>(reached) : std::nullopt);
      for (size_t k = 0; k + 1 < scc.size(); ++k) {
        EXPECT_GT(entry_rank[scc[k]], entry_rank[scc[k + 1]]) << "members not in reverse entry order";
      }
    }
  }
}

}  // namespace
}  // namespace vossick
