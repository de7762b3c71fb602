#include "subtree_sizes/tarjan/tarjan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/u64_hash_map.h"

namespace vossick {
namespace {

// SCC value of the test visitors: the indexes of the SCCs reached.
using SccSet = std::set<uint64_t>;

// Move-only, so any copy of a node inside the traversal fails to compile.
struct TestNode {
  TestNode(uint64_t node_id, uint64_t node_value) : id(node_id), value(node_value) {}
  TestNode(TestNode&&) = default;
  TestNode& operator=(TestNode&&) = default;
  TestNode(const TestNode&) = delete;
  TestNode& operator=(const TestNode&) = delete;

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

std::string name(uint64_t id) { return id >= 'A' && id <= 'Z' ? std::string(1, char(id)) : std::to_string(id); }

std::string format(const SccSet& set) {
  std::string text = "{";
  for (uint64_t index : set) text.append(text.size() > 1 ? "," : "").append(std::to_string(index));
  text.push_back('}');
  return text;
}

struct Emitted {
  uint64_t id, sum;
  SccSet value;
  uint64_t scc_index;  // of the add_node_value_to_scc_value call just before
};

struct Added {
  uint64_t sum, scc_index;
  std::optional<SccSet> merged;
  SccSet value;
};

// Presents a Graph and logs every call. All nodes are offered as roots in
// `order`; unless told otherwise it skips those that is_visited reports.
class GraphVisitor {
 public:
  using Node = TestNode;
  using SccValue = SccSet;

  explicit GraphVisitor(Graph graph) : graph_(std::move(graph)) {}

  bool skip_visited_roots = true;
  std::optional<uint64_t> fail_successors_of;
  std::optional<size_t> fail_emit_call;  // 1-based
  std::optional<size_t> fail_next_call;  // 1-based

  std::vector<std::string> log;
  std::vector<uint64_t> entered;
  std::vector<Added> added;
  std::vector<Emitted> emitted;

  template <class IsVisited>
  Result<std::optional<Node>> next_unvisited_node(const IsVisited& is_visited) {
    log.push_back("next");
    for (const auto& node : graph_.nodes) {
      const uint64_t id = node.first;
      const bool was_entered = std::find(entered.begin(), entered.end(), id) != entered.end();
      EXPECT_EQ(is_visited(id), was_entered) << "is_visited disagrees for node " << name(id);
    }
    if (++next_calls_ == fail_next_call) return Error::message("walk failed");
    while (cursor_ < graph_.order.size()) {
      const uint64_t id = graph_.order[cursor_++];
      if (skip_visited_roots && is_visited(id)) continue;
      log.push_back("root " + name(id));
      return std::optional<Node>(make_node(id));
    }
    return std::optional<Node>();
  }

  template <class IsVisited>
  Result<std::vector<Node>> get_successors(const Node& node, const IsVisited& is_visited) {
    log.push_back("successors " + name(node.id));
    entered.push_back(node.id);
    for (const auto& other : graph_.nodes) {
      const bool was_entered = std::find(entered.begin(), entered.end(), other.first) != entered.end();
      EXPECT_EQ(is_visited(other.first), was_entered) << "is_visited disagrees for node " << name(other.first);
    }
    if (fail_successors_of == node.id) return Error::parse("cannot read successors");
    std::vector<Node> successors;
    for (uint64_t id : graph_.nodes.at(node.id).second) successors.push_back(make_node(id));
    return successors;
  }

  uint64_t node_id(const Node& node) const { return node.id; }
  uint64_t node_value(const Node& node) const { return node.value; }

  void include(SccSet& accumulator, const SccSet& other) const { accumulator.insert(other.begin(), other.end()); }

  SccSet add_node_value_to_scc_value(uint64_t sum, uint64_t scc_index, const std::optional<SccSet>& merged) {
    log.push_back("add sum=" + std::to_string(sum) + " scc=" + std::to_string(scc_index) +
                  " merged=" + (merged ? format(*merged) : "none"));
    SccSet value = merged.value_or(SccSet{});
    value.insert(scc_index);
    added.push_back(Added{sum, scc_index, merged, value});
    return value;
  }

  Status emit_result(uint64_t member_id, uint64_t sum, const SccSet& value) {
    log.push_back("emit " + name(member_id) + " sum=" + std::to_string(sum) + " value=" + format(value));
    if (++emit_calls_ == fail_emit_call) return Error::message("emit failed");
    emitted.push_back(Emitted{member_id, sum, value, added.back().scc_index});
    return ok_status();
  }

 private:
  Node make_node(uint64_t id) const { return Node(id, graph_.nodes.at(id).first); }

  Graph graph_;
  size_t cursor_ = 0;
  size_t next_calls_ = 0;
  size_t emit_calls_ = 0;
};

static_assert(GraphSCCVisitor<GraphVisitor>);

struct LogCase {
  std::string name;
  Graph graph;
  std::vector<std::string> expected_log;
};

void PrintTo(const LogCase& log_case, std::ostream* out) { *out << log_case.name; }

class TarjanLogTest : public testing::TestWithParam<LogCase> {};

TEST_P(TarjanLogTest, CallsVisitorInOrder) {
  GraphVisitor visitor(GetParam().graph);
  ASSERT_TRUE(visit_sccs(visitor).ok());
  EXPECT_EQ(visitor.log, GetParam().expected_log);
}

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    SmallGraphs, TarjanLogTest,
    testing::Values(
        // Single nodes, self edges, repeated successors, wrapping sums, extreme
        // ids and visited roots offered again are covered by the randomized comparison.
        LogCase{"NoNodes", Graph{}, {"next"}},
        LogCase{"ChainCompletesFromTheEnd",
                Graph().add('A', 1, {'B'}).add('B', 2, {'C'}).add('C', 4),
                {"next", "root A", "successors A", "successors B", "successors C", "add sum=4 scc=0 merged=none",
                 "emit C sum=4 value={0}", "add sum=2 scc=1 merged={0}", "emit B sum=2 value={0,1}",
                 "add sum=1 scc=2 merged={0,1}", "emit A sum=1 value={0,1,2}", "next"}},
        LogCase{"DiamondMergesStoredValue",
                Graph().add('A', 1, {'B', 'C'}).add('B', 2, {'D'}).add('C', 4, {'D'}).add('D', 8),
                {"next", "root A", "successors A", "successors B", "successors D", "add sum=8 scc=0 merged=none",
                 "emit D sum=8 value={0}", "add sum=2 scc=1 merged={0}", "emit B sum=2 value={0,1}", "successors C",
                 "add sum=4 scc=2 merged={0}", "emit C sum=4 value={0,2}", "add sum=1 scc=3 merged={0,1,2}",
                 "emit A sum=1 value={0,1,2,3}", "next"}},
        LogCase{"CycleWithExitCarriesValueToRoot",
                Graph().add('A', 1, {'B'}).add('B', 2, {'A', 'C'}).add('C', 4),
                {"next", "root A", "successors A", "successors B", "successors C", "add sum=4 scc=0 merged=none",
                 "emit C sum=4 value={0}", "add sum=3 scc=1 merged={0}", "emit B sum=3 value={0,1}",
                 "emit A sum=3 value={0,1}", "next"}},
        LogCase{"MembersFromMostRecentlyEnteredToRoot",
                Graph().add('A', 1, {'B'}).add('B', 2, {'C'}).add('C', 4, {'A', 'D'}).add('D', 8, {'B'}),
                {"next", "root A", "successors A", "successors B", "successors C", "successors D",
                 "add sum=15 scc=0 merged=none", "emit D sum=15 value={0}", "emit C sum=15 value={0}",
                 "emit B sum=15 value={0}", "emit A sum=15 value={0}", "next"}},
        LogCase{"NodeReachedEarlierIsNoRoot",
                Graph().add('A', 1, {'B'}).add('B', 2).add('C', 4, {'B'}),
                {"next", "root A", "successors A", "successors B", "add sum=2 scc=0 merged=none",
                 "emit B sum=2 value={0}", "add sum=1 scc=1 merged={0}", "emit A sum=1 value={0,1}", "next", "root C",
                 "successors C", "add sum=4 scc=2 merged={0}", "emit C sum=4 value={0,2}", "next"}}),
    [](const testing::TestParamInfo<LogCase>& info) { return info.param.name; });

struct ErrorCase {
  const char* name;
  void (*arrange)(GraphVisitor&);
  Graph graph;
  ErrorKind kind;
  std::string text;
  std::vector<std::string> log_tail;  // the log ends with these calls
};

void PrintTo(const ErrorCase& error_case, std::ostream* out) { *out << error_case.name; }

class TarjanErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(TarjanErrorTest, VisitorErrorIsReturnedUnchangedAndStopsAtOnce) {
  const ErrorCase& c = GetParam();
  GraphVisitor visitor(c.graph);
  c.arrange(visitor);
  const Status status = visit_sccs(visitor);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), c.kind);
  EXPECT_EQ(status.error().text(), c.text);
  ASSERT_GE(visitor.log.size(), c.log_tail.size());
  EXPECT_EQ(
      std::vector<std::string>(visitor.log.end() - static_cast<std::ptrdiff_t>(c.log_tail.size()), visitor.log.end()),
      c.log_tail);
}

INSTANTIATE_TEST_SUITE_P(Failures, TarjanErrorTest,
                         testing::Values(ErrorCase{"EmitOnSecondMember",
                                                   [](GraphVisitor& v) { v.fail_emit_call = 2; },
                                                   Graph().add('A', 3, {'B'}).add('B', 4, {'A'}).add('C', 1),
                                                   ErrorKind::kMessage,
                                                   "emit failed",
                                                   {"successors B", "add sum=7 scc=0 merged=none",
                                                    "emit B sum=7 value={0}", "emit A sum=7 value={0}"}},
                                         ErrorCase{"SuccessorsOfInnerNode",
                                                   [](GraphVisitor& v) { v.fail_successors_of = 'B'; },
                                                   Graph().add('A', 1, {'B'}).add('B', 2, {'C'}).add('C', 4),
                                                   ErrorKind::kParse,
                                                   "cannot read successors",
                                                   {"next", "root A", "successors A", "successors B"}},
                                         ErrorCase{"NextUnvisitedNode",
                                                   [](GraphVisitor& v) { v.fail_next_call = 2; },
                                                   Graph().add('A', 1).add('B', 2),
                                                   ErrorKind::kMessage,
                                                   "walk failed",
                                                   {"next", "root A", "successors A", "add sum=1 scc=0 merged=none",
                                                    "emit A sum=1 value={0}", "next"}}),
                         [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

// Implicit graph over ids 0..n-1 with edges i -> i+1, closed into a ring by
// n-1 -> 0 when `ring`. The SCC value is the wrapping sum of everything
// reached, which is exact on a chain because every SCC reaches one other.
class LongPathVisitor {
 public:
  using Node = TestNode;
  struct SccValue {
    uint64_t reached_sum;
  };
  struct Call {  // an add (id unused) or an emit (merged unused)
    uint64_t id, sum, scc_index_or_reached;
    bool merged;
    bool operator==(const Call&) const = default;
  };

  LongPathVisitor(uint64_t node_count, bool ring) : node_count_(node_count), ring_(ring) {}

  static uint64_t value_of(uint64_t id) { return (id + 1) * 0x9E3779B97F4A7C15ull; }

  template <class IsVisited>
  Result<std::optional<Node>> next_unvisited_node(const IsVisited& is_visited) {
    while (next_root_ < node_count_) {
      const uint64_t id = next_root_++;
      if (!is_visited(id)) {
        ++roots;
        return std::optional<Node>(Node(id, value_of(id)));
      }
    }
    return std::optional<Node>();
  }

  template <class IsVisited>
  Result<std::vector<Node>> get_successors(const Node& node, const IsVisited&) {
    ++successor_calls;
    std::vector<Node> successors;
    const uint64_t next = node.id + 1 < node_count_ ? node.id + 1 : 0;
    if (next != 0 || ring_) successors.emplace_back(next, value_of(next));
    return successors;
  }

  uint64_t node_id(const Node& node) const { return node.id; }
  uint64_t node_value(const Node& node) const { return node.value; }
  void include(SccValue& accumulator, const SccValue& other) const { accumulator.reached_sum += other.reached_sum; }

  SccValue add_node_value_to_scc_value(uint64_t sum, uint64_t scc_index, const std::optional<SccValue>& merged) {
    adds.push_back({0, sum, scc_index, merged.has_value()});
    return SccValue{sum + (merged ? merged->reached_sum : 0)};
  }

  Status emit_result(uint64_t member_id, uint64_t sum, const SccValue& value) {
    emits.push_back({member_id, sum, value.reached_sum, false});
    return ok_status();
  }

  std::vector<Call> adds, emits;
  uint64_t roots = 0, successor_calls = 0;

 private:
  uint64_t node_count_;
  bool ring_;
  uint64_t next_root_ = 0;
};

// A million nodes in one path: the traversal keeps its stack on the heap.
TEST(TarjanLongPaths, ChainAndRingOfAMillionNodes) {
  constexpr uint64_t kLongPath = 1'000'000;
  for (bool ring : {false, true}) {
    SCOPED_TRACE(ring ? "ring" : "chain");
    LongPathVisitor visitor(kLongPath, ring);
    ASSERT_TRUE(visit_sccs(visitor).ok());
    EXPECT_EQ(visitor.roots, 1u);
    EXPECT_EQ(visitor.successor_calls, kLongPath);
    uint64_t total = 0;
    for (uint64_t id = 0; id < kLongPath; ++id) total += LongPathVisitor::value_of(id);
    // A chain completes from its end, one SCC per node; a ring is one SCC.
    ASSERT_EQ(visitor.adds.size(), ring ? 1 : kLongPath);
    ASSERT_EQ(visitor.emits.size(), kLongPath);
    if (ring) {
      EXPECT_EQ(visitor.adds[0], (LongPathVisitor::Call{0, total, 0, false}));
    }
    uint64_t suffix_sum = 0;
    size_t mismatches = 0;
    for (uint64_t k = 0; k < kLongPath; ++k) {
      const uint64_t id = kLongPath - 1 - k, value = LongPathVisitor::value_of(id);
      suffix_sum += value;
      if (!ring) mismatches += visitor.adds[k] == LongPathVisitor::Call{0, value, k, k > 0} ? 0 : 1;
      const LongPathVisitor::Call emit{id, ring ? total : value, ring ? total : suffix_sum, false};
      mismatches += visitor.emits[k] == emit ? 0 : 1;
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

// Random graphs checked against SCCs and reachability computed plainly.
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
      const uint64_t id = choice == 0 ? 0 : choice == 1 ? kMax : choice == 2 ? random() % 100 : random();
      if (position.try_emplace(id, ids.size()).second) ids.push_back(id);
    }
    std::vector<std::vector<size_t>> edges(n);
    for (size_t u = 0; u < n; ++u) {
      values.push_back(random() % 4 == 0 ? random() % 10 : random());
      for (size_t v = 0; v < n; ++v) {
        if (has_edge(random)) edges[u].push_back(v);
      }
      // Repeats, in any order.
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
          if (reaches[u].test(v)) continue;
          reaches[u].set(v);
          pending.push_back(v);
        }
      }
    }

    GraphVisitor visitor(graph);
    visitor.skip_visited_roots = random() % 2 == 0;
    SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(n) + " nodes");
    ASSERT_TRUE(visit_sccs(visitor).ok());
    // Every node entered and emitted once; visited roots offered again are dropped.
    ASSERT_EQ(visitor.entered.size(), n);
    ASSERT_EQ(std::set<uint64_t>(visitor.entered.begin(), visitor.entered.end()).size(), n);
    ASSERT_EQ(visitor.emitted.size(), n);
    std::vector<size_t> entry_rank(n);
    for (size_t rank = 0; rank < n; ++rank) entry_rank[position.at(visitor.entered[rank])] = rank;
    std::vector<std::optional<uint64_t>> scc_of(n);
    std::vector<std::vector<size_t>> members(visitor.added.size());
    for (const Emitted& emit : visitor.emitted) {
      const size_t u = position.at(emit.id);
      ASSERT_FALSE(scc_of[u].has_value()) << "emitted twice: " << emit.id;
      scc_of[u] = emit.scc_index;
      members[emit.scc_index].push_back(u);
      EXPECT_EQ(emit.sum, visitor.added[emit.scc_index].sum);
      EXPECT_EQ(emit.value, visitor.added[emit.scc_index].value);
    }
    for (size_t index = 0; index < visitor.added.size(); ++index) {
      const Added& add = visitor.added[index];
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

// The guards against broken invariants, reached through hand-built states.
struct BrokenStateCase {
  std::string name;
  void (*prepare)(tarjan::TarjanState<GraphVisitor>& state);  // builds the broken state
  std::string expected_text;
};

void PrintTo(const BrokenStateCase& broken_case, std::ostream* out) { *out << broken_case.name; }

class TarjanInvariantTest : public testing::TestWithParam<BrokenStateCase> {};

tarjan::CallStackFrame<GraphVisitor> frame_of(uint64_t id, tarjan::FrameState frame_state) {
  return tarjan::CallStackFrame<GraphVisitor>{
      .node_id = id,
      .state = std::move(frame_state),
      .current_child = std::nullopt,
      .successors = {},
      .next_successor = 0,
      .node_value_sum = 1,
      .scc_value = std::nullopt,
      .lowlink = 0,  // the index of the first node entered
  };
}

void enter(tarjan::TarjanState<GraphVisitor>& state, uint64_t id) {
  ASSERT_TRUE(state.bookkeeping.try_emplace(id, tarjan::BookkeepingEntry::entered(state.next_index++)).second);
  state.stack.push_back(id);
}

TEST_P(TarjanInvariantTest, ReturnsPanic) {
  tarjan::TarjanState<GraphVisitor> state;
  GetParam().prepare(state);
  GraphVisitor visitor(Graph().add('A', 1).add('B', 2));
  const Status status = tarjan::run_main_loop(state, visitor);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), ErrorKind::kPanic);
  EXPECT_EQ(status.error().text(), GetParam().expected_text);
  EXPECT_TRUE(visitor.log.empty());
}

using State = tarjan::TarjanState<GraphVisitor>;

INSTANTIATE_TEST_SUITE_P(
    BrokenStates, TarjanInvariantTest,
    testing::Values(
        BrokenStateCase{"ResumedWhileWaitingForChild",
                        [](State& state) {
                          enter(state, 'A');
                          state.frames.push_back(frame_of('A', tarjan::WaitingForChild{}));
                        },
                        "We should not be returning to a frame waiting for a child without having processed the "
                        "child"},
        BrokenStateCase{"ChildProcessedWithoutCurrentChild",
                        [](State& state) {
                          enter(state, 'A');
                          state.frames.push_back(frame_of('A', tarjan::ChildProcessed{}));
                        },
                        "A frame resumed after a child must know which child it took"},
        BrokenStateCase{"FrameWithoutBookkeepingEntry",
                        [](State& state) { state.frames.push_back(frame_of('A', tarjan::Finished{})); },
                        "A node looked up by the traversal has no bookkeeping entry"},
        BrokenStateCase{"EmptyStackWhilePoppingMembers",
                        [](State& state) {
                          enter(state, 'A');
                          state.stack.clear();
                          state.frames.push_back(frame_of('A', tarjan::Finished{}));
                        },
                        "The Tarjan stack ran out before the SCC root was popped"},
        BrokenStateCase{"CompletedSccWithoutValue",
                        [](State& state) {
                          enter(state, 'A');
                          enter(state, 'B');
                          state.stack.pop_back();
                          state.bookkeeping.find('B')->complete(7);
                          auto frame = frame_of('A', tarjan::Exploring{});
                          frame.successors.emplace_back('B', 2);
                          state.frames.push_back(std::move(frame));
                        },
                        "A completed SCC has no stored SCC value"}),
    [](const testing::TestParamInfo<BrokenStateCase>& info) { return info.param.name; });

TEST(TarjanU64HashMap, KeepsEveryKeyAndTheFirstValueAcrossGrowth) {
  // Even keys go in; their odd neighbours must stay absent.
  U64HashMap<uint64_t> map;
  std::vector<uint64_t> keys{0, kMax - 1, 2};
  std::mt19937_64 random(7);
  while (keys.size() < 200'000) keys.push_back(random() << 1);
  for (uint64_t key : keys) map.try_emplace(key, ~key);
  EXPECT_EQ(map.size(), std::set<uint64_t>(keys.begin(), keys.end()).size());
  EXPECT_LE(map.size() * 4, map.capacity() * 3);
  size_t wrong = 0;
  for (uint64_t key : keys) {
    const uint64_t* value = map.find(key);
    const auto [stored, inserted] = map.try_emplace(key, 1);
    wrong += (value != nullptr && *value == ~key && !map.contains(key | 1) && !inserted && *stored == ~key) ? 0 : 1;
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(map.size(), std::set<uint64_t>(keys.begin(), keys.end()).size());
}

}  // namespace
}  // namespace vossick
