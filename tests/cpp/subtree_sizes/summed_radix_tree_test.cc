// The summed radix tree against a map with the larger weight on collision,
// with every node's sum, hash and shape checked independently (an empty
// tree's hash included); add_in_place against union_ with a single-key tree,
// shared nodes included; nodes given back exactly when they become
// unreachable, and per scope.

#include "subtree_sizes/summed_radix_tree/summed_radix_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vossick {
namespace {

using Map = std::map<uint64_t, uint64_t>;

SummedRadixTree tree_of(const Map& entries) {
  SummedRadixTree tree;
  for (const auto& [key, weight] : entries) tree.add_in_place(key, weight);
  return tree;
}

// XXH3-128 of `count` u64 values, each little-endian.
Hash128 hash_of(const uint64_t* values, size_t count) {
  unsigned char bytes[128];
  for (size_t i = 0; i < count * 8; ++i) bytes[i] = static_cast<unsigned char>(values[i / 8] >> (8 * (i % 8)));
  const XXH128_hash_t hash = XXH3_128bits(bytes, count * 8);
  return Hash128{hash.low64, hash.high64};
}

// Collects the tree's non-zero weights by full key, checking every node:
// sums, hashes (computed here from the definition), child levels, empty
// children shared. `base` is the first key the node covers.
void collect(const SummedRadixTree& node, uint64_t base, Map& out) {
  uint64_t sum = 0;
  if (node.kind() == RadixNodeKind::kLeaf) {
    uint64_t values[8];
    for (size_t slot = 0; slot < 8; ++slot) {
      sum += values[slot] = node.leaf_value(slot);
      if (values[slot] != 0) out[base + slot] = values[slot];
    }
    EXPECT_EQ(node.hash(), hash_of(values, 8));
  } else if (node.kind() == RadixNodeKind::kBranch) {
    const int level = node.level();
    EXPECT_TRUE(level >= 1 && level <= 21) << level;
    uint64_t hashes[16];
    for (size_t index = 0; index < 8; ++index) {
      const SummedRadixTree child = node.child(index);
      sum += child.sum();
      hashes[2 * index] = child.hash().low;
      hashes[2 * index + 1] = child.hash().high;
      if (child.kind() == RadixNodeKind::kEmpty) {
        EXPECT_EQ(child.identity(), SummedRadixTree().identity());
        continue;
      }
      // Only child 0 may hold a shorter subtree; the others sit at full depth.
      EXPECT_TRUE(index == 0 ? child.level() < level : child.level() == level - 1) << index;
      collect(child, base + index * (uint64_t{1} << (3 * level)), out);
    }
    EXPECT_EQ(node.hash(), hash_of(hashes, 16));
  }
  EXPECT_EQ(node.sum(), sum);
}

Map contents(const SummedRadixTree& tree) {
  Map out;
  collect(tree, 0, out);
  return out;
}

void collect_identities(const SummedRadixTree& node, std::set<const void*>& out) {
  if (node.kind() == RadixNodeKind::kEmpty || !out.insert(node.identity()).second) return;
  for (size_t index = 0; index < 8; ++index) collect_identities(node.child(index), out);
}

class SummedRadixTreeTest : public ::testing::Test {
 protected:
  // Every test must give back all the nodes it allocated.
  void TearDown() override { EXPECT_EQ(SummedRadixTree::live_node_count(), 0u); }
};

// add_in_place builds what union_ with the single-key tree builds: the same
// nodes by content, sharing the same nodes of the original tree, and no more
// new ones. A weight the key already holds keeps the root.
TEST_F(SummedRadixTreeTest, AddBuildsWhatUnionWithTheSingleKeyTreeBuilds) {
  struct Case {
    Map entries;
    uint64_t key, weight;
  };
  const Case cases[] = {{{}, 77, 5},
                        {{{0, 10}, {2, 1}}, 1, 4},
                        {{{3, 1}, {70, 2}}, 70, 9},
                        {{{3, 1}, {70, 2}}, 70, 1},
                        {{{3, 1}, {70, 2}}, 4000, 0},
                        {{{9, 1}, {60, 2}}, 4096 + 8, 3},
                        {{{512, 1}}, 5, 6},
                        {{{1, 1}, {600, 2}}, 5, 6},
                        {{{450, 6}}, 962, 6},
                        {{{1, UINT64_MAX}, {9, UINT64_MAX - 1}}, 17, 5},
                        {{{5, 1}, {1ull << 40, 2}}, UINT64_MAX, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    const SummedRadixTree original = tree_of(c.entries);
    std::set<const void*> original_nodes, reference_nodes, merged_nodes;
    collect_identities(original, original_nodes);
    const SummedRadixTree reference = SummedRadixTree::union_(original, tree_of({{c.key, c.weight}}));
    collect_identities(reference, reference_nodes);
    SummedRadixTree merged = original;
    const size_t live_before = SummedRadixTree::live_node_count();
    merged.add_in_place(c.key, c.weight);
    collect_identities(merged, merged_nodes);
    const auto shared = [&](const std::set<const void*>& nodes) {
      std::set<const void*> out;
      std::ranges::set_intersection(nodes, original_nodes, std::inserter(out, out.begin()));
      return out;
    };
    EXPECT_EQ(merged.hash(), reference.hash());
    EXPECT_EQ(shared(merged_nodes), shared(reference_nodes));
    EXPECT_EQ(SummedRadixTree::live_node_count() - live_before,
              reference_nodes.size() - shared(reference_nodes).size());
    Map expected = c.entries;
    if (c.weight != 0) expected[c.key] = std::max(expected[c.key], c.weight);
    EXPECT_EQ(contents(merged), expected);
  }
  SummedRadixTree tree = tree_of({{3, 1}, {70, 2}});
  const void* root = tree.identity();
  tree.add_in_place(70, 2);
  tree.add_in_place(4000, 0);
  EXPECT_EQ(tree.identity(), root);
}

// Trees built from one another, unions in either order, keys dense,
// sparse and of mixed widths, weights that collide and sums that wrap.
TEST_F(SummedRadixTreeTest, MatchesAMapWithTheLargerWeightOnCollision) {
  std::mt19937_64 random(99);
  EXPECT_EQ(SummedRadixTree().hash(), Hash128{});
  for (int keys = 0; keys < 3; ++keys) {
    std::vector<SummedRadixTree> trees(1);
    std::vector<Map> models(1);
    for (int step = 0; step < 1500; ++step) {
      const size_t source = random() % trees.size();
      SummedRadixTree tree = trees[source];
      Map model = models[source];
      if (random() % 3 == 0) {
        const size_t other = random() % trees.size();
        tree = random() % 2 ? SummedRadixTree::union_(tree, trees[other]) : SummedRadixTree::union_(trees[other], tree);
        for (const auto& [key, weight] : models[other]) model[key] = std::max(model[key], weight);
      } else {
        const uint64_t key = keys == 0 ? random() % 300 : keys == 1 ? random() : random() >> (random() % 64);
        const uint64_t weights[] = {0, random() % 4, UINT64_MAX - random() % 1000, random() % 100000};
        const uint64_t weight = weights[random() % 4];
        tree.add_in_place(key, weight);
        if (weight != 0) model[key] = std::max(model[key], weight);
      }
      ASSERT_EQ(contents(tree), model) << "step " << step;
      ASSERT_EQ(tree.estimate(), std::accumulate(model.begin(), model.end(), uint64_t{0},
                                                 [](uint64_t sum, const auto& entry) { return sum + entry.second; }));
      trees.push_back(std::move(tree));
      models.push_back(std::move(model));
    }
  }
}

// Enough nodes for several slabs; the second round starts from a pool that
// emptied and was trimmed.
TEST_F(SummedRadixTreeTest, ReleasingSharedTreesFreesExactlyTheUnreachableNodes) {
  for (int round = 0; round < 2; ++round) {
    std::mt19937_64 random(round);
    std::vector<SummedRadixTree> trees(1);
    for (int step = 0; step < 400; ++step) {
      SummedRadixTree tree = trees[random() % trees.size()];
      tree.include(trees[random() % trees.size()]);
      tree.add_in_place(random() % 5000, 1 + random() % 50);
      trees.push_back(std::move(tree));
    }
    while (!trees.empty()) {
      trees.erase(trees.begin() + static_cast<std::ptrdiff_t>(random() % trees.size()));
      std::set<const void*> reachable;
      for (const SummedRadixTree& tree : trees) collect_identities(tree, reachable);
      ASSERT_EQ(SummedRadixTree::live_node_count(), reachable.size()) << trees.size() << " trees left";
    }
  }
}

// A scope's trees come from a pool of its own and, after discard_on_release,
// go with the pool; the pool found before it is untouched, with or without
// discarding, and nested scopes restore the one they found.
TEST_F(SummedRadixTreeTest, TreesOfAScopeGoWithItAndTheOuterPoolStays) {
  for (bool discard : {false, true}) {
    const SummedRadixTree outer = tree_of({{1, 1}, {70, 2}});
    const size_t outer_live = SummedRadixTree::live_node_count();
    {
      SummedRadixTree::Scope scope;
      EXPECT_EQ(SummedRadixTree::live_node_count(), 0u);
      SummedRadixTree inner = tree_of({{3, 4}, {9000, 5}});
      if (!discard) inner.include(outer);  // sharing outer nodes is allowed unless the scope discards
      {
        SummedRadixTree::Scope nested;
        EXPECT_EQ(tree_of({{12, 7}}).reference_count() + SummedRadixTree::live_node_count(), 1u + 2u);
      }
      const size_t scope_live = SummedRadixTree::live_node_count();
      SummedRadixTree dropped = tree_of({{40000, 9}});  // five branches and a leaf
      if (discard) scope.discard_on_release();
      dropped = SummedRadixTree::empty();
      inner = SummedRadixTree::empty();
      EXPECT_EQ(SummedRadixTree::live_node_count(), discard ? scope_live + 6 : 0u);
    }
    EXPECT_EQ(SummedRadixTree::live_node_count(), outer_live);
    SummedRadixTree more = outer;
    more.add_in_place(5, 5);
    EXPECT_EQ(contents(more), (Map{{1, 1}, {5, 5}, {70, 2}}));
  }
}

}  // namespace
}  // namespace vossick
