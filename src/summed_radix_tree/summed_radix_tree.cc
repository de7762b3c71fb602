#include "summed_radix_tree/summed_radix_tree.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VOSSICK_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define VOSSICK_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define VOSSICK_POISON(address, size) ((void)(address), (void)(size))
#define VOSSICK_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace vossick {
namespace summed_radix_tree_internal {
namespace {

// ---- Per-thread node pool -------------------------------------------------
//
// Nodes are carved from slabs and recycled through a free list. When the last
// node of a thread is freed (a traversal drops its map of SCC values) every
// slab but the newest goes back to malloc, so a finished import does not keep
// its peak memory.

struct Slab {
  Slab* next;
  size_t capacity;  // in nodes
  Node* nodes() noexcept { return reinterpret_cast<Node*>(this + 1); }
};
static_assert(sizeof(Slab) % alignof(Node) == 0);

constexpr size_t kFirstSlabNodes = 256;
constexpr size_t kLargestSlabNodes = 16384;  // 1.5 MiB

struct NodePool {
  Node* free_list;  // linked through the last word of each free node
  Node* bump;
  Node* bump_end;
  Slab* slabs;  // newest first
  size_t live;
};

constinit thread_local NodePool pool{};

void free_slabs(Slab* slab) noexcept {
  while (slab != nullptr) {
    Slab* next = slab->next;
    std::free(slab);
    slab = next;
  }
}

// Returns the slabs when the thread ends, unless nodes are still referenced
// (from thread_local handles destroyed later); those are left to the process.
struct PoolReleaser {
  ~PoolReleaser() {
    if (pool.live == 0) {
      free_slabs(pool.slabs);
      pool = NodePool{};
    }
  }
};

[[gnu::noinline]] void add_slab() noexcept {
  static thread_local PoolReleaser releaser;
  (void)&releaser;
  const size_t capacity =
      pool.slabs == nullptr ? kFirstSlabNodes
                            : (pool.slabs->capacity * 2 < kLargestSlabNodes ? pool.slabs->capacity * 2
                                                                          : kLargestSlabNodes);
  void* memory = std::malloc(sizeof(Slab) + capacity * sizeof(Node));
  if (memory == nullptr) {
    std::fputs("vossick: out of memory allocating radix-tree nodes\n", stderr);
    std::abort();
  }
  Slab* slab = static_cast<Slab*>(memory);
  slab->next = pool.slabs;
  slab->capacity = capacity;
  pool.slabs = slab;
  pool.bump = slab->nodes();
  pool.bump_end = slab->nodes() + capacity;
}

// A free node keeps its free-list link in its last word, so that under
// AddressSanitizer everything before it (count, kind, sum, hash) is poisoned
// and a use after release is reported despite the pooling.
constexpr size_t kFreeLinkOffset = sizeof(Node) - sizeof(Node*);

Node* allocate_node() noexcept {
  Node* node;
  if (pool.free_list != nullptr) {
    node = pool.free_list;
    VOSSICK_UNPOISON(node, sizeof(Node));
    std::memcpy(&pool.free_list, reinterpret_cast<char*>(node) + kFreeLinkOffset, sizeof(Node*));
  } else {
    if (pool.bump == pool.bump_end) add_slab();
    node = pool.bump++;
    VOSSICK_UNPOISON(node, sizeof(Node));  // a slab reused after the pool emptied
  }
  ++pool.live;
  return node;
}

void free_node(Node* node) noexcept {
  std::memcpy(reinterpret_cast<char*>(node) + kFreeLinkOffset, &pool.free_list, sizeof(Node*));
  VOSSICK_POISON(node, kFreeLinkOffset);
  pool.free_list = node;
  if (--pool.live == 0) {
    // Keep the newest slab for the next tree; start it afresh.
    free_slabs(pool.slabs->next);
    pool.slabs->next = nullptr;
    pool.free_list = nullptr;
    pool.bump = pool.slabs->nodes();
    pool.bump_end = pool.slabs->nodes() + pool.slabs->capacity;
  }
}

// ---- Hashing ----------------------------------------------------------------

inline void store_le64(unsigned char* out, uint64_t value) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &value, sizeof value);
  } else {
    for (int byte = 0; byte < 8; ++byte) out[byte] = static_cast<unsigned char>(value >> (8 * byte));
  }
}

Hash128 to_hash(XXH128_hash_t hash) noexcept { return Hash128{hash.low64, hash.high64}; }

Hash128 leaf_hash(const uint64_t (&values)[8]) noexcept {
  unsigned char input[64];
  for (int slot = 0; slot < 8; ++slot) store_le64(input + 8 * slot, values[slot]);
  return to_hash(XXH3_128bits(input, sizeof input));
}

// EMPTY's hash is zero, which is exactly the 16 zero bytes an empty child
// contributes.
Hash128 branch_hash(Node* const (&children)[8]) noexcept {
  unsigned char input[128];
  for (int child = 0; child < 8; ++child) {
    store_le64(input + 16 * child, children[child]->hash.low);
    store_le64(input + 16 * child + 8, children[child]->hash.high);
  }
  return to_hash(XXH3_128bits(input, sizeof input));
}

// ---- Node construction -------------------------------------------------------

Node* make_leaf(const uint64_t (&values)[8]) noexcept {
  Node* node = allocate_node();
  node->references = 1;
  node->kind = RadixNodeKind::kLeaf;
  node->level = 0;
  uint64_t sum = 0;
  for (int slot = 0; slot < 8; ++slot) {
    node->values[slot] = values[slot];
    sum += values[slot];
  }
  node->sum = sum;
  node->hash = leaf_hash(values);
  return node;
}

// Adopts one reference to each child.
Node* make_branch(uint8_t level, Node* const (&children)[8]) noexcept {
  Node* node = allocate_node();
  node->references = 1;
  node->kind = RadixNodeKind::kBranch;
  node->level = level;
  uint64_t sum = 0;
  for (int child = 0; child < 8; ++child) {
    node->children[child] = children[child];
    sum += children[child]->sum;
  }
  node->sum = sum;
  node->hash = branch_hash(children);
  return node;
}

// A Leaf counts as level 0.
inline uint8_t level_of(const Node* node) noexcept { return node->level; }

// Returns a new reference; a and b are borrowed. Rules in order: empty side,
// equal hashes (no node built, nothing visited), two leaves, two branches of
// one level, then different levels.
Node* union_nodes(Node* a, Node* b) noexcept {
  if (a->kind == RadixNodeKind::kEmpty) return retain(b);
  if (b->kind == RadixNodeKind::kEmpty) return retain(a);
  if (a->hash == b->hash) return retain(b->references > a->references ? b : a);

  if (a->kind == RadixNodeKind::kLeaf && b->kind == RadixNodeKind::kLeaf) {
    uint64_t values[8];
    for (int slot = 0; slot < 8; ++slot) {
      values[slot] = a->values[slot] > b->values[slot] ? a->values[slot] : b->values[slot];
    }
    return make_leaf(values);
  }

  Node* children[8];
  if (level_of(a) == level_of(b)) {
    for (int child = 0; child < 8; ++child) children[child] = union_nodes(a->children[child], b->children[child]);
    return make_branch(a->level, children);
  }
  // The lower side lies entirely within child 0 of the higher one. The higher
  // side's child goes first in the recursive call whichever argument it was.
  Node* higher = level_of(a) > level_of(b) ? a : b;
  Node* lower = higher == a ? b : a;
  children[0] = union_nodes(higher->children[0], lower);
  for (int child = 1; child < 8; ++child) children[child] = retain(higher->children[child]);
  return make_branch(higher->level, children);
}

uint64_t weight_of(const Node* node, uint64_t key) noexcept {
  while (node->kind == RadixNodeKind::kBranch) {
    const unsigned shift = 3u * node->level;
    const uint64_t index = shift >= 64 ? 0 : key >> shift;
    if (index > 7) return 0;
    key = shift >= 64 ? key : key & ((uint64_t{1} << shift) - 1);
    node = node->children[index];
  }
  if (node->kind == RadixNodeKind::kLeaf) return key <= 7 ? node->values[key] : 0;
  return 0;
}

// The map {key: weight} as a chain from its root (level = base-8 digits of
// key minus 1) down to one Leaf.
Node* make_single_key_tree(uint64_t key, uint64_t weight) noexcept {
  uint64_t values[8] = {};
  values[key % 8] = weight;
  Node* current = make_leaf(values);
  uint64_t rest = key / 8;
  uint8_t level = 1;
  while (rest != 0) {
    Node* children[8];
    for (int child = 0; child < 8; ++child) children[child] = &empty_node;
    children[rest % 8] = current;
    current = make_branch(level, children);
    rest /= 8;
    ++level;
  }
  return current;
}

}  // namespace

void abort_reference_overflow() noexcept {
  std::fputs("vossick: radix-tree node reference count overflow\n", stderr);
  std::abort();
}

void destroy_node(Node* node) noexcept {
  if (node->kind == RadixNodeKind::kBranch) {
    for (Node* child : node->children) release(child);
  }
  free_node(node);
}

}  // namespace summed_radix_tree_internal

namespace internal = summed_radix_tree_internal;

void SummedRadixTree::add_in_place(uint64_t key, uint64_t weight) {
  if (internal::weight_of(node_, key) == weight) return;
  internal::Node* single = internal::make_single_key_tree(key, weight);
  internal::Node* merged = internal::union_nodes(node_, single);
  internal::release(node_);
  internal::release(single);
  node_ = merged;
}

void SummedRadixTree::include(const SummedRadixTree& other) {
  internal::Node* merged = internal::union_nodes(node_, other.node_);
  internal::release(node_);
  node_ = merged;
}

SummedRadixTree SummedRadixTree::union_(const SummedRadixTree& a, const SummedRadixTree& b) {
  return SummedRadixTree(internal::union_nodes(a.node_, b.node_));
}

Hash128 SummedRadixTree::calculate_branch_hash(const std::array<SummedRadixTree, 8>& children) noexcept {
  internal::Node* nodes[8];
  for (int child = 0; child < 8; ++child) nodes[child] = children[child].node_;
  return internal::branch_hash(nodes);
}

SummedRadixTree SummedRadixTree::child(size_t index) const noexcept {
  if (node_->kind != RadixNodeKind::kBranch) return SummedRadixTree();
  return SummedRadixTree(internal::retain(node_->children[index]));
}

size_t SummedRadixTree::live_node_count() noexcept { return internal::pool.live; }

}  // namespace vossick
