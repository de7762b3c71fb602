#include "subtree_sizes/summed_radix_tree/summed_radix_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <thread>
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

Hash128 xxh3_128(const unsigned char* bytes, size_t length) {
  const XXH128_hash_t hash = XXH3_128bits(bytes, length);
  return Hash128{hash.low64, hash.high64};
}

void put_le64(unsigned char* out, uint64_t value) {
  for (int byte = 0; byte < 8; ++byte) out[byte] = static_cast<unsigned char>(value >> (8 * byte));
}

// Walks the tree, collecting its non-zero weights by full key and checking
// every node's invariants: sums, hashes, child levels, empty children shared.
// `base` is the first key the node covers.
void collect(const SummedRadixTree& node, uint64_t base, Map& out) {
  uint64_t sum = 0;
  if (node.kind() == RadixNodeKind::kLeaf) {
    EXPECT_EQ(node.level(), 0);
    unsigned char bytes[64];
    for (size_t slot = 0; slot < 8; ++slot) {
      const uint64_t weight = node.leaf_value(slot);
      put_le64(bytes + 8 * slot, weight);
      sum += weight;
      if (weight != 0) out[base + slot] = weight;
    }
    EXPECT_EQ(node.hash(), xxh3_128(bytes, sizeof bytes));
  } else if (node.kind() == RadixNodeKind::kBranch) {
    const int level = node.level();
    EXPECT_TRUE(level >= 1 && level <= 21) << level;
    std::array<SummedRadixTree, 8> children;
    bool any_child = false;
    for (size_t index = 0; index < 8; ++index) {
      const SummedRadixTree& child = children[index] = node.child(index);
      sum += child.sum();
      if (child.kind() == RadixNodeKind::kEmpty) {
        EXPECT_EQ(child.identity(), SummedRadixTree().identity());
        continue;
      }
      any_child = true;
      // Only child 0 may hold a shorter subtree; the others sit at full depth.
      EXPECT_TRUE(index == 0 ? child.level() < level : child.level() == level - 1) << index;
      collect(child, base + index * (uint64_t{1} << (3 * level)), out);
    }
    EXPECT_TRUE(any_child);
    EXPECT_EQ(node.hash(), SummedRadixTree::calculate_branch_hash(children));
  }
  EXPECT_EQ(node.sum(), sum);
}

Map contents(const SummedRadixTree& tree) {
  Map out;
  collect(tree, 0, out);
  return out;
}

class SummedRadixTreeTest : public ::testing::Test {
 protected:
  // Every test must give back all the nodes it allocated.
  void TearDown() override { EXPECT_EQ(SummedRadixTree::live_node_count(), 0u); }
};

TEST_F(SummedRadixTreeTest, EmptyIsSharedAndASingleSmallKeyIsOneLeaf) {
  SummedRadixTree tree;
  EXPECT_EQ(tree.kind(), RadixNodeKind::kEmpty);
  EXPECT_EQ(tree.estimate(), 0u);
  EXPECT_EQ(tree.identity(), SummedRadixTree::empty().identity());
  EXPECT_EQ(tree.hash(), Hash128{});
  EXPECT_EQ(SummedRadixTree::live_node_count(), 0u);
  tree.add_in_place(5, 100);
  ASSERT_EQ(tree.kind(), RadixNodeKind::kLeaf);
  EXPECT_EQ(tree.sum(), 100u);
  EXPECT_EQ(tree.estimate(), 100u);
  for (size_t slot = 0; slot < 8; ++slot) EXPECT_EQ(tree.leaf_value(slot), slot == 5 ? 100u : 0u);
  unsigned char bytes[64] = {};
  put_le64(bytes + 40, 100);
  EXPECT_EQ(tree.hash(), xxh3_128(bytes, sizeof bytes));
  EXPECT_EQ(tree.reference_count(), 1u);
  EXPECT_EQ(SummedRadixTree::live_node_count(), 1u);
}

TEST_F(SummedRadixTreeTest, BranchHashCoversEveryChildInOrder) {
  SummedRadixTree tree;
  tree.add_in_place(8, 7);  // a level-1 branch over a leaf in child 1
  ASSERT_EQ(contents(tree), (Map{{8, 7}}));
  const SummedRadixTree leaf = tree.child(1);
  // 16 zero bytes per empty child, the leaf's hash low then high.
  unsigned char bytes[128] = {};
  put_le64(bytes + 16, leaf.hash().low);
  put_le64(bytes + 24, leaf.hash().high);
  EXPECT_EQ(tree.hash(), xxh3_128(bytes, sizeof bytes));
}

TEST_F(SummedRadixTreeTest, GrowingTheRootSharesTheOldLeaf) {
  SummedRadixTree tree;
  tree.add_in_place(0, 10);
  const void* old_leaf = tree.identity();
  tree.add_in_place(64, 20);
  EXPECT_EQ(tree.level(), 2);
  EXPECT_EQ(contents(tree), (Map{{0, 10}, {64, 20}}));  // child 1: a level-1 branch over a leaf
  EXPECT_EQ(tree.child(0).identity(), old_leaf);
  // Root, old leaf, the level-1 branch and its leaf: the single-key tree's
  // own root was released.
  EXPECT_EQ(SummedRadixTree::live_node_count(), 4u);
}

TEST_F(SummedRadixTreeTest, RootLevelIsDigitCountMinusOne) {
  const std::pair<uint64_t, int> cases[] = {{0, 0},  {7, 0},           {8, 1},           {63, 1},
                                            {64, 2}, {1ull << 62, 20}, {1ull << 63, 21}, {UINT64_MAX, 21}};
  for (const auto& [key, level] : cases) {
    SummedRadixTree tree;
    tree.add_in_place(key, 3);
    EXPECT_EQ(tree.kind(), level == 0 ? RadixNodeKind::kLeaf : RadixNodeKind::kBranch) << key;
    EXPECT_EQ(tree.level(), level) << key;
    EXPECT_EQ(contents(tree), (Map{{key, 3}})) << key;
  }
}

TEST_F(SummedRadixTreeTest, UnionOfEqualHashesSharesTheSideWithMoreReferencesWithoutBuilding) {
  const SummedRadixTree a = tree_of({{3, 1}, {70, 2}});
  const SummedRadixTree b = tree_of({{3, 1}, {70, 2}});
  ASSERT_NE(a.identity(), b.identity());
  ASSERT_EQ(a.hash(), b.hash());
  const size_t nodes = SummedRadixTree::live_node_count();
  const uint32_t references = a.reference_count();
  {
    const SummedRadixTree itself = SummedRadixTree::union_(a, a);
    EXPECT_EQ(itself.identity(), a.identity());
    EXPECT_EQ(a.reference_count(), references + 1);
  }
  EXPECT_EQ(SummedRadixTree::union_(a, b).identity(), a.identity());  // tie: the first argument
  EXPECT_EQ(SummedRadixTree::union_(b, a).identity(), b.identity());
  const SummedRadixTree extra = b;
  EXPECT_EQ(SummedRadixTree::union_(a, b).identity(), b.identity());
  EXPECT_EQ(SummedRadixTree::live_node_count(), nodes);
}

TEST_F(SummedRadixTreeTest, LowerTreeMeetsTheHigherTreesChildZeroFirst) {
  // `higher` holds keys 0 and 8; its child 0 is a leaf equal to `lower`.
  // Both leaves carry one reference, so the tie goes to the first argument
  // of the inner union, which is the higher tree's child whichever side the
  // higher tree is on.
  const SummedRadixTree lower = tree_of({{0, 4}});
  const SummedRadixTree higher = tree_of({{0, 4}, {8, 9}});
  const void* inner_leaf = higher.child(0).identity();
  ASSERT_NE(inner_leaf, lower.identity());
  EXPECT_EQ(SummedRadixTree::union_(lower, higher).child(0).identity(), inner_leaf);
  EXPECT_EQ(SummedRadixTree::union_(higher, lower).child(0).identity(), inner_leaf);
  // With an extra reference the outer leaf wins.
  const SummedRadixTree extra = lower;
  EXPECT_EQ(SummedRadixTree::union_(lower, higher).child(0).identity(), lower.identity());
}

TEST_F(SummedRadixTreeTest, UnchangedWeightKeepsTheRootAndASmallerOneBuildsAnEqualTree) {
  SummedRadixTree tree = tree_of({{1, 5}, {100, 6}});
  const SummedRadixTree before = tree;
  const size_t nodes = SummedRadixTree::live_node_count();
  tree.add_in_place(100, 6);         // same weight
  tree.add_in_place(4000, 0);        // absent key, weight 0
  tree.add_in_place(UINT64_MAX, 0);  // beyond the root's range, weight 0
  EXPECT_EQ(tree.identity(), before.identity());
  EXPECT_EQ(SummedRadixTree::live_node_count(), nodes);
  tree.add_in_place(100, 2);
  EXPECT_NE(tree.identity(), before.identity());
  EXPECT_EQ(tree.hash(), before.hash());
  EXPECT_EQ(contents(tree), (Map{{1, 5}, {100, 6}}));
}

TEST_F(SummedRadixTreeTest, KeyBeyondTheRootRangeIsAbsent) {
  // 962 = 15·64 + 2 lies beyond a level-2 root; its remainder 2 within child 7
  // would alias key 450.
  SummedRadixTree tree = tree_of({{450, 6}});
  tree.add_in_place(962, 6);
  EXPECT_EQ(contents(tree), (Map{{450, 6}, {962, 6}}));
  EXPECT_EQ(tree.level(), 3);
}

TEST_F(SummedRadixTreeTest, HandlesShareAndReleaseTheirNode) {
  SummedRadixTree tree = tree_of({{12, 1}});
  EXPECT_EQ(tree.reference_count(), 1u);
  {
    SummedRadixTree copy = tree;
    EXPECT_EQ(copy.identity(), tree.identity());
    EXPECT_EQ(tree.reference_count(), 2u);
    SummedRadixTree moved = std::move(copy);
    EXPECT_EQ(copy.kind(), RadixNodeKind::kEmpty);  // NOLINT: moved-from is empty by contract
    EXPECT_EQ(tree.reference_count(), 2u);
    moved = SummedRadixTree();
    EXPECT_EQ(tree.reference_count(), 1u);
  }
  tree.include(tree);
  EXPECT_EQ(tree.reference_count(), 1u);
  tree = SummedRadixTree::empty();
  EXPECT_EQ(SummedRadixTree::live_node_count(), 0u);
}

TEST_F(SummedRadixTreeTest, EmptyIsSharedByAllThreadsAndEachThreadHasItsOwnNodePool) {
  const SummedRadixTree main_tree = tree_of({{1, 1}});
  const void* main_empty = SummedRadixTree().identity();
  const void* other_empty = nullptr;
  size_t other_live_with_tree = 0;
  size_t other_live_after = 0;
  std::thread([&] {
    other_empty = SummedRadixTree().identity();
    {
      const SummedRadixTree tree = tree_of({{5, 5}, {80, 1}});
      other_live_with_tree = SummedRadixTree::live_node_count();
    }
    other_live_after = SummedRadixTree::live_node_count();
  }).join();
  EXPECT_EQ(other_empty, main_empty);
  EXPECT_EQ(other_live_with_tree, 4u);  // root, two leaves, one level-1 branch
  EXPECT_EQ(other_live_after, 0u);
  EXPECT_EQ(SummedRadixTree::live_node_count(), 1u);
}

// A scope's trees come from a pool of its own and, after discard_on_release,
// go with the pool; the pool found before it is untouched, with or without
// discarding, and nested scopes restore the one they found.
class SummedRadixTreeScopeTest : public SummedRadixTreeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SummedRadixTreeScopeTest, TreesOfTheScopeGoWithItAndTheOuterPoolStays) {
  const bool discard = GetParam();
  const SummedRadixTree outer = tree_of({{1, 1}, {70, 2}});
  const size_t outer_live = SummedRadixTree::live_node_count();
  {
    SummedRadixTree::Scope scope;
    EXPECT_EQ(SummedRadixTree::live_node_count(), 0u);
    SummedRadixTree inner = tree_of({{3, 4}, {9000, 5}});
    // Sharing an outer tree's nodes is allowed unless the scope discards.
    if (!discard) {
      inner.include(outer);
      EXPECT_EQ(contents(inner), (Map{{1, 1}, {3, 4}, {70, 2}, {9000, 5}}));
    }
    {
      SummedRadixTree::Scope nested;
      const SummedRadixTree deeper = tree_of({{12, 7}});
      EXPECT_EQ(SummedRadixTree::live_node_count(), 2u);  // a level-1 branch and its leaf
    }
    const size_t scope_live = SummedRadixTree::live_node_count();
    EXPECT_GT(scope_live, 0u);
    SummedRadixTree dropped = tree_of({{40000, 9}});
    if (discard) scope.discard_on_release();
    dropped = SummedRadixTree::empty();
    // Discarding frees nothing one by one (40000 takes five branches and a
    // leaf); otherwise the nodes return at once.
    EXPECT_EQ(SummedRadixTree::live_node_count(), discard ? scope_live + 6 : scope_live);
    inner = SummedRadixTree::empty();
    EXPECT_EQ(SummedRadixTree::live_node_count(), discard ? scope_live + 6 : 0u);
  }
  EXPECT_EQ(SummedRadixTree::live_node_count(), outer_live);
  EXPECT_EQ(contents(outer), (Map{{1, 1}, {70, 2}}));
  // The outer pool still allocates and frees as before.
  SummedRadixTree more = outer;
  more.add_in_place(5, 5);
  EXPECT_EQ(contents(more), (Map{{1, 1}, {5, 5}, {70, 2}}));
}

INSTANTIATE_TEST_SUITE_P(DiscardOrNot, SummedRadixTreeScopeTest, ::testing::Bool());

// ---- add_in_place against union_ with a single-key tree -----------------------

void collect_identities(const SummedRadixTree& node, std::set<const void*>& out) {
  if (node.kind() == RadixNodeKind::kEmpty || !out.insert(node.identity()).second) return;
  for (size_t index = 0; index < 8; ++index) collect_identities(node.child(index), out);
}

// `merged` came from add_in_place, `reference` from union_ of the same tree
// (whose nodes are `original`) and a single-key tree: same nodes by content,
// and the same nodes of the original tree shared.
void expect_same_merge(const SummedRadixTree& merged, const SummedRadixTree& reference,
                       const std::set<const void*>& original) {
  ASSERT_EQ(merged.kind(), reference.kind());
  EXPECT_EQ(merged.level(), reference.level());
  EXPECT_EQ(merged.sum(), reference.sum());
  ASSERT_EQ(merged.hash(), reference.hash());
  if (original.contains(reference.identity())) {
    EXPECT_EQ(merged.identity(), reference.identity());
    return;
  }
  if (merged.kind() == RadixNodeKind::kEmpty) return;
  EXPECT_FALSE(original.contains(merged.identity()));
  for (size_t index = 0; index < 8; ++index) {
    EXPECT_EQ(merged.leaf_value(index), reference.leaf_value(index));
    if (merged.kind() == RadixNodeKind::kBranch) {
      expect_same_merge(merged.child(index), reference.child(index), original);
    }
  }
}

struct AddCase {
  const char* name;
  Map entries;
  uint64_t key;
  uint64_t weight;
};

class SummedRadixTreeAdd : public SummedRadixTreeTest, public ::testing::WithParamInterface<AddCase> {};

TEST_P(SummedRadixTreeAdd, BuildsWhatUnionWithTheSingleKeyTreeBuilds) {
  const AddCase& c = GetParam();
  const SummedRadixTree original = tree_of(c.entries);
  std::set<const void*> original_nodes;
  collect_identities(original, original_nodes);
  SummedRadixTree single;
  single.add_in_place(c.key, c.weight);
  const SummedRadixTree reference = SummedRadixTree::union_(original, single);
  std::set<const void*> reference_nodes;
  collect_identities(reference, reference_nodes);
  const size_t new_in_reference =
      std::ranges::count_if(reference_nodes, [&](const void* node) { return !original_nodes.contains(node); });

  SummedRadixTree merged = original;
  const size_t live_before = SummedRadixTree::live_node_count();
  merged.add_in_place(c.key, c.weight);
  EXPECT_EQ(SummedRadixTree::live_node_count() - live_before, new_in_reference);
  expect_same_merge(merged, reference, original_nodes);
  Map expected = c.entries;
  if (c.weight != 0) expected[c.key] = std::max(expected[c.key], c.weight);
  EXPECT_EQ(contents(merged), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SummedRadixTreeAdd,
                         ::testing::Values(AddCase{"IntoEmpty", {}, 77, 5},
                                           AddCase{"SameLeaf", {{0, 10}, {2, 1}}, 1, 4},
                                           AddCase{"LargerWeight", {{3, 1}, {70, 2}}, 70, 9},
                                           AddCase{"SmallerWeightBuildsAnEqualTree", {{3, 1}, {70, 2}}, 70, 1},
                                           AddCase{"EmptyChildOfTheRoot", {{3, 1}, {70, 2}}, 130, 3},
                                           AddCase{"RootGrows", {{0, 10}}, 64, 20},
                                           AddCase{"RootGrowsOverABranch", {{9, 1}, {60, 2}}, 4096 + 8, 3},
                                           AddCase{"BelowAHigherRootsEmptyChildZero", {{512, 1}}, 5, 6},
                                           AddCase{"BelowAHigherRootsShortChildZero", {{1, 1}, {600, 2}}, 5, 6},
                                           AddCase{"BeyondTheRootRange", {{450, 6}}, 962, 6},
                                           AddCase{"WrappingSums", {{1, UINT64_MAX}, {9, UINT64_MAX - 1}}, 17, 5},
                                           AddCase{"LargestKey", {{5, 1}, {1ull << 40, 2}}, UINT64_MAX, 3}),
                         [](const ::testing::TestParamInfo<AddCase>& info) { return std::string(info.param.name); });

// ---- Node pool and release ------------------------------------------------------

TEST_F(SummedRadixTreeTest, ReleasingSharedTreesFreesExactlyTheUnreachableNodes) {
  // Enough nodes for several slabs; the second round starts from a pool that
  // emptied and was trimmed.
  for (int round = 0; round < 2; ++round) {
    std::mt19937_64 random(round);
    std::vector<SummedRadixTree> trees(1);
    std::vector<Map> models(1);
    for (int step = 0; step < 400; ++step) {
      const size_t source = random() % trees.size();
      SummedRadixTree tree = trees[source];
      Map model = models[source];
      const size_t other = random() % trees.size();
      tree.include(trees[other]);
      for (const auto& [key, weight] : models[other]) model[key] = std::max(model[key], weight);
      const uint64_t key = random() % 5000;
      const uint64_t weight = 1 + random() % 50;
      tree.add_in_place(key, weight);
      model[key] = std::max(model[key], weight);
      trees.push_back(std::move(tree));
      models.push_back(std::move(model));
    }
    while (!trees.empty()) {
      const size_t victim = random() % trees.size();
      trees.erase(trees.begin() + static_cast<std::ptrdiff_t>(victim));
      models.erase(models.begin() + static_cast<std::ptrdiff_t>(victim));
      if (trees.size() % 50 != 0) continue;
      std::set<const void*> reachable;
      for (const SummedRadixTree& tree : trees) collect_identities(tree, reachable);
      ASSERT_EQ(SummedRadixTree::live_node_count(), reachable.size()) << trees.size() << " trees left";
      for (size_t index = 0; index < trees.size(); ++index) ASSERT_EQ(contents(trees[index]), models[index]);
    }
    EXPECT_EQ(SummedRadixTree::live_node_count(), 0u);
  }
}

// ---- Against a model ---------------------------------------------------------

struct RandomKeys {
  const char* name;
  uint64_t (*draw)(std::mt19937_64&);
};

class SummedRadixTreeModel : public SummedRadixTreeTest, public ::testing::WithParamInterface<RandomKeys> {};

TEST_P(SummedRadixTreeModel, MatchesAMapWithMaxOnCollision) {
  std::mt19937_64 random(99);
  std::vector<SummedRadixTree> trees;
  std::vector<Map> models;
  trees.emplace_back();
  models.emplace_back();
  auto draw_weight = [&random]() -> uint64_t {
    switch (random() % 4) {
      case 0: return 0;
      case 1: return random() % 4;                  // frequent collisions of small weights
      case 2: return UINT64_MAX - random() % 1000;  // sums wrap
      default: return random() % 100000;
    }
  };
  for (int step = 0; step < 1500; ++step) {
    const size_t source = random() % trees.size();
    SummedRadixTree tree = trees[source];
    Map model = models[source];
    if (random() % 3 == 0) {
      const size_t other = random() % trees.size();
      const bool tree_first = random() % 2 == 0;
      tree = tree_first ? SummedRadixTree::union_(tree, trees[other]) : SummedRadixTree::union_(trees[other], tree);
      for (const auto& [key, weight] : models[other]) model[key] = std::max(model[key], weight);
    } else {
      const int additions = 1 + static_cast<int>(random() % 3);
      for (int i = 0; i < additions; ++i) {
        const uint64_t key = GetParam().draw(random);
        const uint64_t weight = draw_weight();
        tree.add_in_place(key, weight);
        if (weight != 0) model[key] = std::max(model[key], weight);
      }
    }
    std::erase_if(model, [](const auto& entry) { return entry.second == 0; });
    ASSERT_EQ(contents(tree), model) << "step " << step;
    ASSERT_EQ(tree.estimate(), std::accumulate(model.begin(), model.end(), uint64_t{0},
                                               [](uint64_t sum, const auto& entry) { return sum + entry.second; }));
    trees.push_back(std::move(tree));
    models.push_back(std::move(model));
  }
  // include agrees with union_, and both argument orders hold the same map.
  for (int check = 0; check < 50; ++check) {
    const SummedRadixTree& a = trees[random() % trees.size()];
    const SummedRadixTree& b = trees[random() % trees.size()];
    SummedRadixTree included = a;
    included.include(b);
    const SummedRadixTree reversed = SummedRadixTree::union_(b, a);
    EXPECT_EQ(contents(included), contents(reversed));
    EXPECT_EQ(included.estimate(), reversed.estimate());
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, SummedRadixTreeModel,
                         ::testing::Values(RandomKeys{"Dense", [](std::mt19937_64& r) { return r() % 300; }},
                                           RandomKeys{"Sparse", [](std::mt19937_64& r) { return r(); }},
                                           RandomKeys{"MixedWidths",
                                                      [](std::mt19937_64& r) { return r() >> (r() % 64); }}),
                         [](const ::testing::TestParamInfo<RandomKeys>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vossick
