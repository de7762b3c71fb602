#include "summed_radix_tree/summed_radix_tree.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <map>
#include <random>
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
// every node's invariants: sums, hashes, child levels. `base` is the first
// key the node covers.
void collect(const SummedRadixTree& node, uint64_t base, Map& out) {
  switch (node.kind()) {
    case RadixNodeKind::kEmpty:
      EXPECT_EQ(node.sum(), 0u);
      return;
    case RadixNodeKind::kLeaf: {
      EXPECT_EQ(node.level(), 0);
      unsigned char bytes[64];
      uint64_t sum = 0;
      for (size_t slot = 0; slot < 8; ++slot) {
        const uint64_t weight = node.leaf_value(slot);
        put_le64(bytes + 8 * slot, weight);
        sum += weight;
        if (weight != 0) out[base + slot] = weight;
      }
      EXPECT_EQ(node.sum(), sum);
      EXPECT_EQ(node.hash(), xxh3_128(bytes, sizeof bytes));
      return;
    }
    case RadixNodeKind::kBranch: {
      const int level = node.level();
      EXPECT_GE(level, 1);
      EXPECT_LE(level, 21);
      const uint64_t span = uint64_t{1} << (3 * level);
      std::array<SummedRadixTree, 8> children;
      uint64_t sum = 0;
      bool any_child = false;
      for (size_t index = 0; index < 8; ++index) {
        children[index] = node.child(index);
        const SummedRadixTree& child = children[index];
        sum += child.sum();
        if (child.kind() == RadixNodeKind::kEmpty) continue;
        any_child = true;
        EXPECT_LT(child.level(), level);
        // Only child 0 may hold a shorter subtree; the others sit at full depth.
        if (index != 0) {
          EXPECT_EQ(child.level(), level - 1);
        }
        collect(child, base + index * span, out);
      }
      EXPECT_TRUE(any_child);
      EXPECT_EQ(node.sum(), sum);
      EXPECT_EQ(node.hash(), SummedRadixTree::calculate_branch_hash(children));
      return;
    }
  }
}

Map contents(const SummedRadixTree& tree) {
  Map out;
  collect(tree, 0, out);
  return out;
}

uint64_t model_sum(const Map& map) {
  uint64_t sum = 0;
  for (const auto& entry : map) sum += entry.second;
  return sum;
}

class SummedRadixTreeTest : public ::testing::Test {
 protected:
  // Every test must give back all the nodes it allocated.
  void TearDown() override { EXPECT_EQ(SummedRadixTree::live_node_count(), 0u); }
};

TEST_F(SummedRadixTreeTest, EmptyIsSharedAndSumsToZero) {
  const SummedRadixTree a = SummedRadixTree::empty();
  const SummedRadixTree b;
  EXPECT_EQ(a.kind(), RadixNodeKind::kEmpty);
  EXPECT_EQ(a.estimate(), 0u);
  EXPECT_EQ(a.identity(), b.identity());
  EXPECT_EQ(a.hash(), Hash128{});
  EXPECT_EQ(SummedRadixTree::live_node_count(), 0u);
}

TEST_F(SummedRadixTreeTest, SingleSmallKeyIsOneLeaf) {
  SummedRadixTree tree;
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

TEST_F(SummedRadixTreeTest, KeyEightIsLevelOneBranchOverLeafInChildOne) {
  SummedRadixTree tree;
  tree.add_in_place(8, 7);
  ASSERT_EQ(tree.kind(), RadixNodeKind::kBranch);
  EXPECT_EQ(tree.level(), 1);
  EXPECT_EQ(tree.sum(), 7u);
  const SummedRadixTree empty;
  for (size_t index = 0; index < 8; ++index) {
    if (index == 1) continue;
    EXPECT_EQ(tree.child(index).identity(), empty.identity());
  }
  const SummedRadixTree leaf = tree.child(1);
  ASSERT_EQ(leaf.kind(), RadixNodeKind::kLeaf);
  EXPECT_EQ(leaf.leaf_value(0), 7u);
  EXPECT_EQ(leaf.sum(), 7u);
  // Branch hash: 16 zero bytes per empty child, the leaf's hash low then high.
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
  ASSERT_EQ(tree.kind(), RadixNodeKind::kBranch);
  EXPECT_EQ(tree.level(), 2);
  EXPECT_EQ(tree.sum(), 30u);
  EXPECT_EQ(tree.child(0).identity(), old_leaf);
  const SummedRadixTree middle = tree.child(1);
  ASSERT_EQ(middle.kind(), RadixNodeKind::kBranch);
  EXPECT_EQ(middle.level(), 1);
  const SummedRadixTree leaf = middle.child(0);
  ASSERT_EQ(leaf.kind(), RadixNodeKind::kLeaf);
  EXPECT_EQ(leaf.leaf_value(0), 20u);
  EXPECT_EQ(contents(tree), (Map{{0, 10}, {64, 20}}));
  // Root, old leaf, the level-1 branch and its leaf: the single-key tree's
  // own root was released.
  EXPECT_EQ(SummedRadixTree::live_node_count(), 4u);
}

struct DepthCase {
  uint64_t key;
  RadixNodeKind kind;
  int level;
};

TEST_F(SummedRadixTreeTest, RootLevelIsDigitCountMinusOne) {
  const DepthCase cases[] = {
      {0, RadixNodeKind::kLeaf, 0},         {7, RadixNodeKind::kLeaf, 0},
      {8, RadixNodeKind::kBranch, 1},       {63, RadixNodeKind::kBranch, 1},
      {64, RadixNodeKind::kBranch, 2},      {uint64_t{1} << 62, RadixNodeKind::kBranch, 20},
      {uint64_t{1} << 63, RadixNodeKind::kBranch, 21}, {UINT64_MAX, RadixNodeKind::kBranch, 21},
  };
  for (const DepthCase& c : cases) {
    SummedRadixTree tree;
    tree.add_in_place(c.key, 3);
    EXPECT_EQ(tree.kind(), c.kind) << c.key;
    EXPECT_EQ(tree.level(), c.level) << c.key;
    EXPECT_EQ(contents(tree), (Map{{c.key, 3}})) << c.key;
  }
}

TEST_F(SummedRadixTreeTest, UnionWithItselfSharesWithoutBuilding) {
  const SummedRadixTree x = tree_of({{1, 5}, {900, 6}});
  const size_t nodes = SummedRadixTree::live_node_count();
  const uint32_t references = x.reference_count();
  const SummedRadixTree result = SummedRadixTree::union_(x, x);
  EXPECT_EQ(result.identity(), x.identity());
  EXPECT_EQ(x.reference_count(), references + 1);
  EXPECT_EQ(SummedRadixTree::live_node_count(), nodes);
}

TEST_F(SummedRadixTreeTest, EqualHashesPickTheSideWithMoreReferences) {
  const SummedRadixTree a = tree_of({{3, 1}, {70, 2}});
  const SummedRadixTree b = tree_of({{3, 1}, {70, 2}});
  ASSERT_NE(a.identity(), b.identity());
  ASSERT_EQ(a.hash(), b.hash());
  const size_t nodes = SummedRadixTree::live_node_count();
  EXPECT_EQ(SummedRadixTree::union_(a, b).identity(), a.identity());  // tie: a
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

TEST_F(SummedRadixTreeTest, UnionOfLeavesKeepsTheLargerWeight) {
  const SummedRadixTree three = tree_of({{2, 3}});
  const SummedRadixTree nine = tree_of({{2, 9}, {6, 1}});
  for (const SummedRadixTree& merged : {SummedRadixTree::union_(three, nine), SummedRadixTree::union_(nine, three)}) {
    EXPECT_EQ(contents(merged), (Map{{2, 9}, {6, 1}}));
    EXPECT_EQ(merged.estimate(), 10u);
  }
}

TEST_F(SummedRadixTreeTest, UnchangedWeightKeepsTheRootNode) {
  SummedRadixTree tree = tree_of({{1, 5}, {100, 6}});
  const void* root = tree.identity();
  const size_t nodes = SummedRadixTree::live_node_count();
  tree.add_in_place(100, 6);       // same weight
  tree.add_in_place(4000, 0);      // absent key, weight 0
  tree.add_in_place(UINT64_MAX, 0);  // beyond the root's range, weight 0
  EXPECT_EQ(tree.identity(), root);
  EXPECT_EQ(SummedRadixTree::live_node_count(), nodes);
}

TEST_F(SummedRadixTreeTest, KeyBeyondTheRootRangeIsAbsent) {
  // 962 = 15·64 + 2 lies beyond a level-2 root; its remainder 2 within child 7
  // would alias key 450.
  SummedRadixTree tree = tree_of({{450, 6}});
  tree.add_in_place(962, 6);
  EXPECT_EQ(contents(tree), (Map{{450, 6}, {962, 6}}));
  EXPECT_EQ(tree.level(), 3);
}

TEST_F(SummedRadixTreeTest, SmallerWeightBuildsAnEqualTree) {
  SummedRadixTree tree = tree_of({{1, 5}, {100, 6}});
  const SummedRadixTree before = tree;
  tree.add_in_place(100, 2);
  EXPECT_NE(tree.identity(), before.identity());
  EXPECT_EQ(tree.hash(), before.hash());
  EXPECT_EQ(contents(tree), (Map{{1, 5}, {100, 6}}));
}

TEST_F(SummedRadixTreeTest, SumsWrapAround) {
  SummedRadixTree tree;
  tree.add_in_place(0, UINT64_MAX);
  tree.add_in_place(9, 2);
  EXPECT_EQ(tree.estimate(), 1u);
  EXPECT_EQ(contents(tree), (Map{{0, UINT64_MAX}, {9, 2}}));
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

TEST_F(SummedRadixTreeTest, EachThreadHasItsOwnEmptyAndNodePool) {
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
  EXPECT_NE(other_empty, main_empty);
  EXPECT_EQ(other_live_with_tree, 4u);  // root, two leaves, one level-1 branch
  EXPECT_EQ(other_live_after, 0u);
  EXPECT_EQ(SummedRadixTree::live_node_count(), 1u);
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
      case 1: return random() % 4;                   // frequent collisions of small weights
      case 2: return UINT64_MAX - random() % 1000;   // sums wrap
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
    ASSERT_EQ(tree.estimate(), model_sum(model));
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

INSTANTIATE_TEST_SUITE_P(
    Keys, SummedRadixTreeModel,
    ::testing::Values(RandomKeys{"Dense", [](std::mt19937_64& r) { return r() % 300; }},
                      RandomKeys{"Sparse", [](std::mt19937_64& r) { return r(); }},
                      RandomKeys{"MixedWidths", [](std::mt19937_64& r) { return r() >> (r() % 64); }}),
    [](const ::testing::TestParamInfo<RandomKeys>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vossick
