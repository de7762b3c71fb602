// The dominator tree and retained sizes against independent models:
// dominance by removal on small seeded graphs (the whole computation, the
// virtual root included), the iterative Cooper-Harvey-Kennedy algorithm on
// graphs of tens of thousands of objects, and a million-deep chain and ring.

#include "dominators/dominator_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check/consistency_check.h"
#include "dominators/compact_graph.h"
#include "dominators/retained_queries.h"
#include "dominators/retained_sizes_run.h"
#include "dominators/virtual_root.h"
#include "test_support.h"

namespace vossick::dominators {
namespace {

constexpr uint32_t kUnset = UINT32_MAX - 1;

// In ascending id order.
using Objects = std::vector<RawObjectRecord>;

using vossick::testing::value_or_die;

StopPoll& never_stop() {
  static StopPoll poll(vossick::never_stop(), 4096);
  return poll;
}

CompactGraph build_graph(const Objects& objects) {
  CompactGraphBuilder builder;
  for (const RawObjectRecord& o : objects) EXPECT_TRUE(builder.add(o.id, o.type, o.size, o.references).ok());
  return value_or_die(builder.finish(never_stop()));
}

DominatorTree tree_of(CompactGraph& graph) {
  const MappedArray<uint8_t> children = value_or_die(find_virtual_root_children(graph, never_stop()));
  return value_or_die(build_dominator_tree(graph, children, never_stop()));
}

// ---- dominance by removal -------------------------------------------------

// Per object (by index): its immediate dominator's index (kVirtualRoot for
// the root) and its retained size, from first principles: the roots from
// plain mutual reachability, d dominating v iff v is unreachable once d is
// removed.
struct Expected {
  std::vector<uint32_t> idom;
  std::vector<uint64_t> retained;
};

Expected dominance_by_removal(const Objects& objects) {
  const size_t n = objects.size();
  std::vector<std::vector<uint32_t>> edges(n);
  for (size_t v = 0; v < n; ++v) {
    for (uint64_t ref : objects[v].references) {
      auto it = std::find_if(objects.begin(), objects.end(), [&](const RawObjectRecord& o) { return o.id == ref; });
      if (it != objects.end() && ref != objects[v].id) edges[v].push_back(static_cast<uint32_t>(it - objects.begin()));
    }
  }
  auto reached_from = [&](const std::vector<uint32_t>& starts, std::optional<uint32_t> removed) {
    std::vector<bool> seen(n);
    std::deque<uint32_t> queue;
    for (uint32_t s : starts) {
      if (s != removed && !seen[s]) seen[s] = true, queue.push_back(s);
    }
    while (!queue.empty()) {
      const uint32_t v = queue.front();
      queue.pop_front();
      for (uint32_t w : edges[v]) {
        if (w != removed && !seen[w]) seen[w] = true, queue.push_back(w);
      }
    }
    return seen;
  };
  std::vector<std::vector<bool>> reach(n);
  for (uint32_t v = 0; v < n; ++v) reach[v] = reached_from({v}, std::nullopt);
  auto same_component = [&](uint32_t a, uint32_t b) { return reach[a][b] && reach[b][a]; };
  std::vector<uint32_t> roots;
  for (uint32_t v = 0; v < n; ++v) {
    bool entered = false, has_module = false;
    for (uint32_t u = 0; u < n; ++u) {
      if (same_component(u, v)) has_module |= objects[u].type == kModuleTypeName;
      for (uint32_t w : edges[u]) entered |= same_component(w, v) && !same_component(u, v);
    }
    if (!entered && (!has_module || objects[v].type == kModuleTypeName)) roots.push_back(v);
  }
  std::vector<std::vector<bool>> dominates(n);
  std::vector<size_t> dominator_count(n);
  for (uint32_t d = 0; d < n; ++d) {
    dominates[d] = reached_from(roots, d);
    dominates[d].flip();
    dominates[d][d] = false;
    for (uint32_t v = 0; v < n; ++v) dominator_count[v] += dominates[d][v];
  }
  Expected expected{std::vector<uint32_t>(n, kVirtualRoot), std::vector<uint64_t>(n)};
  for (uint32_t v = 0; v < n; ++v) {
    expected.retained[v] = objects[v].size;
    for (uint32_t d = 0; d < n; ++d) {
      if (dominates[v][d]) expected.retained[v] += objects[d].size;
      // The strict dominators form a chain: the immediate one is the deepest.
      if (dominates[d][v] && (expected.idom[v] == kVirtualRoot ||
                              dominator_count[d] > dominator_count[expected.idom[v]])) {
        expected.idom[v] = d;
      }
    }
  }
  return expected;
}

struct Shape {
  const char* name;  // also what a failing test prints
  size_t max_objects;
  double mean_references;
  double module_share;
  size_t locality;  // references mostly reach this far in id order
};

void PrintTo(const Shape& shape, std::ostream* out) { *out << shape.name; }

// Sparse graphs with locality make deep trees, cycles, diamonds and many
// source components; modules, self, dangling and repeated references, and
// zero and wrapping sizes are mixed in.
Objects random_objects(std::mt19937_64& rng, const Shape& shape, size_t n) {
  std::vector<uint64_t> ids;
  for (size_t i = 0; i < n; ++i) ids.push_back(rng() % 2 ? rng() : 1000 * i + rng() % 1000);
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  std::uniform_real_distribution<double> unit(0, 1);
  std::poisson_distribution<int> degree(shape.mean_references);
  const uint64_t sizes[] = {0, 1, 56, UINT64_MAX, uint64_t{1} << 63};
  Objects objects;
  for (size_t i = 0; i < ids.size(); ++i) {
    RawObjectRecord o{ids[i], unit(rng) < shape.module_share ? std::string(kModuleTypeName) : "T" + std::to_string(i % 3),
                      {}, std::nullopt, unit(rng) < 0.2 ? sizes[rng() % 5] : rng() % 1000, std::nullopt};
    for (int k = degree(rng); k > 0; --k) {
      const size_t near = i + rng() % (2 * shape.locality + 1);
      o.references.push_back(ids[(unit(rng) < 0.8 && near >= shape.locality ? near - shape.locality : rng()) % ids.size()]);
    }
    if (unit(rng) < 0.1) o.references.push_back(o.id);
    if (unit(rng) < 0.1) o.references.push_back(o.id ^ 0x5555);  // almost surely dangling
    if (unit(rng) < 0.1 && !o.references.empty()) o.references.push_back(o.references[0]);
    objects.push_back(std::move(o));
  }
  return objects;
}

class DominanceByRemovalTest : public ::testing::TestWithParam<Shape> {};

TEST_P(DominanceByRemovalTest, MatchesOnSeededRandomGraphs) {
  for (uint64_t seed = 0; seed < 40; ++seed) {
    std::mt19937_64 rng(seed);
    const Objects objects = random_objects(rng, GetParam(), 1 + rng() % GetParam().max_objects);
    const Expected expected = dominance_by_removal(objects);
    CompactGraph graph = build_graph(objects);
    const DominatorTree tree = tree_of(graph);
    for (uint32_t v = 0; v < objects.size(); ++v) {
      ASSERT_EQ(tree.idom[v], expected.idom[v]) << "seed " << seed << " object " << v;
      ASSERT_EQ(tree.retained[v], expected.retained[v]) << "seed " << seed << " object " << v;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, DominanceByRemovalTest,
                         ::testing::Values(Shape{"sparse_deep", 300, 1.1, 0.05, 3},
                                           Shape{"dense_cyclic", 120, 3.0, 0.1, 10},
                                           Shape{"many_modules", 200, 1.5, 0.4, 5},
                                           Shape{"no_modules_scattered", 250, 1.0, 0.0, 1000},
                                           Shape{"tiny", 4, 1.5, 0.3, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Cooper-Harvey-Kennedy --------------------------------------------------

// Immediate dominators (kVirtualRoot for the root's children) by the plain
// iterative data-flow algorithm over reverse postorder, the virtual root
// being node n.
std::vector<uint32_t> cooper_harvey_kennedy(const CompactGraph& graph, const MappedArray<uint8_t>& children) {
  const uint32_t n = graph.node_count();
  std::vector<std::vector<uint32_t>> successors(n + 1), predecessors(n + 1);
  for (uint32_t v = 0; v < n; ++v) {
    if (children[v]) successors[n].push_back(v);
    successors[v].assign(graph.targets.begin() + graph.edge_begin[v], graph.targets.begin() + graph.edge_begin[v + 1]);
  }
  for (uint32_t v = 0; v <= n; ++v) {
    for (uint32_t w : successors[v]) predecessors[w].push_back(v);
  }
  std::vector<uint32_t> postorder_number(n + 1, kUnset), reverse_postorder;
  std::vector<std::pair<uint32_t, size_t>> stack{{n, 0}};
  std::vector<bool> seen(n + 1);
  seen[n] = true;
  while (!stack.empty()) {
    auto& [v, next] = stack.back();
    if (next < successors[v].size()) {
      const uint32_t w = successors[v][next++];
      if (!seen[w]) seen[w] = true, stack.emplace_back(w, 0);
      continue;
    }
    postorder_number[v] = static_cast<uint32_t>(reverse_postorder.size());
    reverse_postorder.push_back(v);
    stack.pop_back();
  }
  std::reverse(reverse_postorder.begin(), reverse_postorder.end());
  std::vector<uint32_t> idom(n + 1, kUnset);
  idom[n] = n;
  auto intersect = [&](uint32_t a, uint32_t b) {
    while (a != b) {
      while (postorder_number[a] < postorder_number[b]) a = idom[a];
      while (postorder_number[b] < postorder_number[a]) b = idom[b];
    }
    return a;
  };
  for (bool changed = true; changed;) {
    changed = false;
    for (uint32_t b : reverse_postorder) {
      if (b == n) continue;
      uint32_t candidate = kUnset;
      for (uint32_t p : predecessors[b]) {
        if (idom[p] != kUnset) candidate = candidate == kUnset ? p : intersect(p, candidate);
      }
      if (idom[b] != candidate) idom[b] = candidate, changed = true;
    }
  }
  idom.pop_back();
  for (uint32_t& d : idom) d = d == n ? kVirtualRoot : d;
  return idom;
}

TEST(DominatorTree, MatchesCooperHarveyKennedyOnLargeGraphs) {
  const Shape shapes[] = {{"python_like", 40000, 1.3, 0.01, 50}, {"cyclic", 20000, 2.5, 0.001, 1000},
                          {"chains", 30000, 1.0, 0.0, 2}};
  for (const Shape& shape : shapes) {
    std::mt19937_64 rng(7);
    const Objects objects = random_objects(rng, shape, shape.max_objects);
    CompactGraph graph = build_graph(objects);
    const std::vector<uint32_t> expected =
        cooper_harvey_kennedy(graph, value_or_die(find_virtual_root_children(graph, never_stop())));
    const DominatorTree tree = tree_of(graph);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), tree.idom.begin(), tree.idom.end())) << shape.name;
  }
}

// ---- long paths -----------------------------------------------------------

TEST(DominatorTree, MillionDeepChainAndRingNeedNoRecursion) {
  constexpr uint64_t n = 1'000'000;
  struct Case {
    const char* name;
    bool ring;
    bool module_at_zero;
  };
  for (const Case& c : {Case{"chain", false, false}, Case{"ring_entered_at_its_module", true, true},
                        Case{"ring_without_module", true, false}}) {
    Objects objects;
    for (uint64_t k = 0; k < n; ++k) {
      objects.push_back({k, k == 0 && c.module_at_zero ? std::string(kModuleTypeName) : "Node", {}, {}, 2, {}});
      if (k + 1 < n || c.ring) objects.back().references.push_back((k + 1) % n);
    }
    CompactGraph graph = build_graph(objects);
    const DominatorTree tree = tree_of(graph);
    const bool flat = c.ring && !c.module_at_zero;  // every member enters: none dominates another
    for (uint32_t k = 0; k < n; ++k) {
      const uint32_t idom = flat || k == 0 ? kVirtualRoot : k - 1;
      const uint64_t retained = flat ? 2 : 2 * (n - k);
      if (tree.idom[k] != idom || tree.retained[k] != retained) FAIL() << c.name << " object " << k;
    }
    EXPECT_EQ(tree.total_size, 2 * n);
  }
}

// ---- the run ---------------------------------------------------------------

TEST(RetainedSizesRun, AStopInAnyPhaseAbortsAndKeepsThePreviousResults) {
  constexpr uint64_t n = 20000;
  vossick::testing::TempExplorer temp;
  Explorer& explorer = *temp;
  std::vector<std::string> lines;
  for (uint64_t k = 0; k < n; ++k) {
    lines.push_back(vossick::testing::record_line(k, {(k + 1) % n}, 1, k == 0 ? kModuleTypeName : "Node"));
  }
  ASSERT_OK(vossick::testing::import_lines(explorer, lines, EstimatorPrecision::kNoEstimates));
  const vossick::testing::Contents six = vossick::testing::raw_contents(explorer);
  ASSERT_OK(compute_retained_sizes(explorer));
  ASSERT_TRUE(vossick::testing::raw_contents(explorer) == six);  // the objects' databases keep their bytes
  // A new size for the ring's module, written past the import: only a run
  // that completes stores what it changes.
  {
    Transaction txn = value_or_die(Transaction::begin_write(explorer.env()));
    ASSERT_OK(put_value(txn, explorer.dbs().primary, id_key(encode_id(0)),
                        vossick::testing::record_line(0, {1}, 100, kModuleTypeName)));
    ASSERT_OK(txn.commit());
  }
  int asks = 0;
  for (Status status = Error::interrupted(); !status.ok(); ++asks) {
    ASSERT_EQ(status.error().kind(), ErrorKind::kInterrupted) << status.error().text();
    EXPECT_EQ(value_or_die(get_retained_size(explorer, 0)), n) << "asks " << asks;
    vossick::testing::StopAfter stop(asks);
    status = compute_retained_sizes(explorer, stop);
  }
  EXPECT_GT(asks, 5);  // every phase was stopped once
  // While the results are current, the check counts one tree node per record.
  const uint64_t problems = value_or_die(check_consistency(explorer)).counts.problems;
  {
    Transaction txn = value_or_die(Transaction::begin_write(explorer.env()));
    const EncodedId id = encode_id(5);
    MDB_val key = to_val(id_key(id));
    ASSERT_EQ(mdb_del(txn.raw(), explorer.dbs().dominator_tree, &key, nullptr), 0);
    ASSERT_OK(txn.commit());
  }
  EXPECT_EQ(value_or_die(check_consistency(explorer)).counts.problems, problems + 1);
  EXPECT_EQ(value_or_die(get_retained_size(explorer, 0)), n + 99);
}

}  // namespace
}  // namespace vossick::dominators
