#include "subtree_sizes/summed_radix_tree/summed_radix_tree.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// ---- Per-thread node pool -------------------------------------------------
//
// Nodes are carved from slabs and recycled through a free list. When the last
// node of a thread is freed (a traversal drops its map of SCC values) every
// slab but the newest goes back to the system, so a finished import does not
// keep its peak memory. Slabs are mapped directly and, where the system
// offers it, populated by the mapping call: one call instead of a page fault
// per 42 new nodes.
//
// In a shared object every access to a thread_local goes through the TLS
// resolver, so each public operation looks the pool up once and passes it
// down.

struct alignas(64) Slab {
  Slab* next;
  size_t capacity;  // in nodes
  Node* nodes() noexcept { return reinterpret_cast<Node*>(this + 1); }
  static size_t bytes_for(size_t capacity) noexcept { return sizeof(Slab) + capacity * sizeof(Node); }
};
static_assert(sizeof(Slab) % alignof(Node) == 0);

namespace {

constexpr size_t kFirstSlabNodes = 256;
constexpr size_t kLargestSlabNodes = 16384;  // 1.5 MiB

constinit thread_local NodePool thread_pool{};

// Kept out of line and opaque: otherwise the compiler propagates the pool
// into the recursive functions and resolves it again at every node. (Clang
// has no noipa; out of line is what it offers.)
#if defined(__clang__)
[[gnu::noinline]]
#else
[[gnu::noipa]]
#endif
NodePool&
this_thread_pool() noexcept {
  return thread_pool;
}

void free_slabs(Slab* slab) noexcept {
  while (slab != nullptr) {
    Slab* next = slab->next;
    const size_t bytes = Slab::bytes_for(slab->capacity);
    VOSSICK_UNPOISON(slab, bytes);  // the range may be mapped again
    munmap(slab, bytes);
    slab = next;
  }
}

// Returns the slabs when the thread ends, unless nodes are still referenced
// (from thread_local handles destroyed later); those are left to the process.
struct PoolReleaser {
  ~PoolReleaser() {
    NodePool& pool = this_thread_pool();
    if (pool.live == 0) {
      free_slabs(pool.slabs);
      pool = NodePool{};
    }
  }
};

[[gnu::noinline]] void add_slab(NodePool& pool) noexcept {
  static thread_local PoolReleaser releaser;
  (void)&releaser;
  const size_t capacity =
      pool.slabs == nullptr
          ? kFirstSlabNodes
          : (pool.slabs->capacity * 2 < kLargestSlabNodes ? pool.slabs->capacity * 2 : kLargestSlabNodes);
#ifdef MAP_POPULATE
  constexpr int kPopulate = MAP_POPULATE;
#else
  constexpr int kPopulate = 0;
#endif
  void* memory =
      mmap(nullptr, Slab::bytes_for(capacity), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | kPopulate, -1, 0);
  if (memory == MAP_FAILED) {
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

inline Node* allocate_node(NodePool& pool) noexcept {
  Node* node;
  if (pool.free_list != nullptr) {
    node = pool.free_list;
    VOSSICK_UNPOISON(node, sizeof(Node));
    std::memcpy(&pool.free_list, reinterpret_cast<char*>(node) + kFreeLinkOffset, sizeof(Node*));
  } else {
    if (pool.bump == pool.bump_end) [[unlikely]]
      add_slab(pool);
    node = pool.bump++;
    VOSSICK_UNPOISON(node, sizeof(Node));  // a slab reused after the pool emptied
  }
  ++pool.live;
  return node;
}

inline void free_node(NodePool& pool, Node* node) noexcept {
  std::memcpy(reinterpret_cast<char*>(node) + kFreeLinkOffset, &pool.free_list, sizeof(Node*));
  VOSSICK_POISON(node, kFreeLinkOffset);
  pool.free_list = node;
  --pool.live;
}

// Called after a release that may have freed the pool's last node.
void trim_if_idle(NodePool& pool) noexcept {
  if (pool.live != 0) return;
  // Keep the newest slab for the next tree; start it afresh.
  free_slabs(pool.slabs->next);
  pool.slabs->next = nullptr;
  pool.free_list = nullptr;
  pool.bump = pool.slabs->nodes();
  pool.bump_end = pool.slabs->nodes() + pool.slabs->capacity;
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

// Stores a hash with one 16-byte write. Hashes are read back soon, often as
// 16 bytes at once (to be hashed again or compared); a 16-byte read of two
// 8-byte writes cannot be forwarded from the store buffer and stalls until
// they reach the cache.
inline void put_hash(Hash128& out, const Hash128& hash) noexcept {
#if defined(__SSE2__)
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&out),
                   _mm_set_epi64x(static_cast<long long>(hash.high), static_cast<long long>(hash.low)));
#else
  out = hash;
#endif
}

Hash128 leaf_hash(const uint64_t (&values)[8]) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return to_hash(XXH3_128bits(values, sizeof values));
  } else {
    unsigned char input[64];
    for (int slot = 0; slot < 8; ++slot) store_le64(input + 8 * slot, values[slot]);
    return to_hash(XXH3_128bits(input, sizeof input));
  }
}

inline void store_hash(unsigned char* out, const Hash128& hash) noexcept {
  store_le64(out, hash.low);
  store_le64(out + 8, hash.high);
}

// EMPTY's hash is zero, which is exactly the 16 zero bytes an empty child
// contributes.
Hash128 branch_hash(Node* const (&children)[8]) noexcept {
  unsigned char input[128];
  for (int child = 0; child < 8; ++child) store_hash(input + 16 * child, children[child]->hash);
  return to_hash(XXH3_128bits(input, sizeof input));
}

// The hash of a Branch whose only non-empty child, at `index`, has `hash`.
Hash128 single_child_branch_hash(unsigned index, const Hash128& hash) noexcept {
  unsigned char input[128] = {};
  store_hash(input + 16 * index, hash);
  return to_hash(XXH3_128bits(input, sizeof input));
}

// ---- Node construction -------------------------------------------------------

// Fills in a Leaf's sum and hash from its values.
inline Node* finish_leaf(Node* node) noexcept {
  node->references = 1;
  node->kind = RadixNodeKind::kLeaf;
  node->level = 0;
  uint64_t sum = 0;
  for (uint64_t value : node->values) sum += value;
  node->sum = sum;
  put_hash(node->hash, leaf_hash(node->values));
  return node;
}

// Fills in a Branch's sum and hash from its children, whose references it
// has adopted.
inline Node* finish_branch(Node* node, uint8_t level) noexcept {
  node->references = 1;
  node->kind = RadixNodeKind::kBranch;
  node->level = level;
  uint64_t sum = 0;
  for (const Node* child : node->children) sum += child->sum;
  node->sum = sum;
  put_hash(node->hash, branch_hash(node->children));
  return node;
}

inline void prefetch(const Node* node) noexcept {
  if (!is_empty(node)) __builtin_prefetch(node);
}

// Returns a new reference; a and b are borrowed. Rules in order: empty side,
// equal hashes (no node built, nothing visited), two leaves, two branches of
// one level, then different levels.
Node* union_nodes(NodePool& pool, Node* a, Node* b) noexcept {
  if (is_empty(a)) return retain(b);
  if (is_empty(b)) return retain(a);
  // One node has one hash and one count: the tie goes to a, which is b.
  if (a == b) return retain(a);
  if (a->hash == b->hash) return retain(b->references > a->references ? b : a);

  Node* node;
  if (a->kind == RadixNodeKind::kLeaf && b->kind == RadixNodeKind::kLeaf) {
    node = allocate_node(pool);
    for (int slot = 0; slot < 8; ++slot) {
      node->values[slot] = a->values[slot] > b->values[slot] ? a->values[slot] : b->values[slot];
    }
    return finish_leaf(node);
  }

  // A Leaf counts as level 0.
  if (a->level == b->level) {
    // Every child of both sides is about to be read or retained: start all
    // the loads now rather than one miss at a time down the recursion.
    for (int child = 0; child < 8; ++child) {
      prefetch(a->children[child]);
      prefetch(b->children[child]);
    }
    node = allocate_node(pool);
    for (int child = 0; child < 8; ++child) {
      // The first rules settled here: most pairs have an empty or shared side.
      Node* const from_a = a->children[child];
      Node* const from_b = b->children[child];
      if (is_empty(from_a)) {
        node->children[child] = retain(from_b);
      } else if (is_empty(from_b) || from_a == from_b) {
        node->children[child] = retain(from_a);
      } else {
        node->children[child] = union_nodes(pool, from_a, from_b);
      }
    }
    return finish_branch(node, a->level);
  }
  // The lower side lies entirely within child 0 of the higher one. The higher
  // side's child goes first in the recursive call whichever argument it was.
  Node* higher = a->level > b->level ? a : b;
  Node* lower = higher == a ? b : a;
  for (int child = 1; child < 8; ++child) prefetch(higher->children[child]);
  node = allocate_node(pool);
  node->children[0] = union_nodes(pool, higher->children[0], lower);
  for (int child = 1; child < 8; ++child) node->children[child] = retain(higher->children[child]);
  return finish_branch(node, higher->level);
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

// ---- Inserting one key -------------------------------------------------------
//
// add_in_place merges the tree with the single-key map {key: weight}: a chain
// from a root of level (base-8 digits of key - 1) down to one Leaf, every
// node carrying sum `weight` and only one non-empty child. The chain is not
// built up front: its hashes are computed, and a node of it is built only
// where the merge shares it (against an empty child, or as the side that
// wins a hash tie). The merge follows union_nodes rule for rule; a chain
// node taking part in a comparison holds exactly one reference, since only
// its parent refers to it.

struct SingleKeyChain {
  uint64_t weight;
  int root_level;
  uint8_t digits[22];  // digits[level]: the non-empty child (Leaf: the slot)
  Hash128 hashes[22];  // hashes[level]: the chain node of that level
};

void describe_chain(uint64_t key, uint64_t weight, SingleKeyChain& chain) noexcept {
  chain.weight = weight;
  int level = 0;
  chain.digits[0] = static_cast<uint8_t>(key % 8);
  uint64_t leaf_values[8] = {};
  leaf_values[key % 8] = weight;
  put_hash(chain.hashes[0], leaf_hash(leaf_values));
  for (uint64_t rest = key / 8; rest != 0; rest /= 8) {
    ++level;
    chain.digits[level] = static_cast<uint8_t>(rest % 8);
    put_hash(chain.hashes[level], single_child_branch_hash(chain.digits[level], chain.hashes[level - 1]));
  }
  chain.root_level = level;
}

// Builds the chain from `level` down, one new reference.
Node* build_chain(NodePool& pool, const SingleKeyChain& chain, int level) noexcept {
  Node* node = allocate_node(pool);
  node->references = 1;
  node->kind = RadixNodeKind::kLeaf;
  node->level = 0;
  node->sum = chain.weight;
  node->hash = chain.hashes[0];
  for (uint64_t& value : node->values) value = 0;
  node->values[chain.digits[0]] = chain.weight;
  for (int up = 1; up <= level; ++up) {
    Node* parent = allocate_node(pool);
    parent->references = 1;
    parent->kind = RadixNodeKind::kBranch;
    parent->level = static_cast<uint8_t>(up);
    parent->sum = chain.weight;
    parent->hash = chain.hashes[up];
    for (Node*& child : parent->children) child = empty_ptr();
    parent->children[chain.digits[up]] = node;
    node = parent;
  }
  return node;
}

// union_nodes(tree, chain node of `level`), or with the chain node first when
// `chain_first`. `tree` is borrowed.
Node* union_with_chain(NodePool& pool, Node* tree, const SingleKeyChain& chain, int level, bool chain_first) noexcept {
  if (is_empty(tree)) return build_chain(pool, chain, level);
  if (tree->hash == chain.hashes[level]) {
    // The chain node holds one reference: the tree wins when it is first, or
    // when it holds more.
    if (!chain_first || tree->references > 1) return retain(tree);
    return build_chain(pool, chain, level);
  }

  Node* node;
  const unsigned digit = chain.digits[level];
  if (tree->kind == RadixNodeKind::kLeaf && level == 0) {
    node = allocate_node(pool);
    for (int slot = 0; slot < 8; ++slot) node->values[slot] = tree->values[slot];
    if (chain.weight > node->values[digit]) node->values[digit] = chain.weight;
    return finish_leaf(node);
  }

  if (tree->level == level) {
    // Against an empty chain child the tree's child is shared.
    for (unsigned child = 0; child < 8; ++child) {
      if (child != digit) prefetch(tree->children[child]);
    }
    node = allocate_node(pool);
    for (unsigned child = 0; child < 8; ++child) {
      node->children[child] = child == digit
                                  ? union_with_chain(pool, tree->children[child], chain, level - 1, chain_first)
                                  : retain(tree->children[child]);
    }
    return finish_branch(node, tree->level);
  }

  if (tree->level > level) {
    for (int child = 1; child < 8; ++child) prefetch(tree->children[child]);
    node = allocate_node(pool);
    node->children[0] = union_with_chain(pool, tree->children[0], chain, level, /*chain_first=*/false);
    for (int child = 1; child < 8; ++child) node->children[child] = retain(tree->children[child]);
    return finish_branch(node, tree->level);
  }

  // The chain node is higher: the tree lies within its child 0.
  node = allocate_node(pool);
  for (Node*& child : node->children) child = empty_ptr();
  if (digit == 0) {
    node->children[0] = union_with_chain(pool, tree, chain, level - 1, /*chain_first=*/true);
  } else {
    node->children[0] = retain(tree);
    node->children[digit] = build_chain(pool, chain, level - 1);
  }
  return finish_branch(node, static_cast<uint8_t>(level));
}

}  // namespace

void abort_reference_overflow() noexcept {
  std::fputs("vossick: radix-tree node reference count overflow\n", stderr);
  std::abort();
}

void destroy_node(Node* node) noexcept {
  NodePool& pool = this_thread_pool();
  if (pool.discarding) return;
  // Iterative, breadth first: dead nodes queue through their sum field, which
  // they no longer need. A node queued is prefetched whole, and its children
  // are reached only after the nodes queued before it, so the loads overlap.
  node->sum = 0;
  Node* head = node;
  Node* tail = node;
  while (head != nullptr) {
    Node* dead = head;
    if (dead->kind == RadixNodeKind::kBranch) {
      for (Node* child : dead->children) prefetch(child);
      for (Node* child : dead->children) {
        if (!is_empty(child) && --child->references == 0) {
          __builtin_prefetch(reinterpret_cast<char*>(child) + 64);
          child->sum = 0;
          tail->sum = reinterpret_cast<uintptr_t>(child);
          tail = child;
        }
      }
    }
    head = reinterpret_cast<Node*>(static_cast<uintptr_t>(dead->sum));
    free_node(pool, dead);
  }
  trim_if_idle(pool);
}

}  // namespace summed_radix_tree_internal

namespace internal = summed_radix_tree_internal;

void SummedRadixTree::add_in_place(uint64_t key, uint64_t weight) {
  if (internal::weight_of(node_, key) == weight) return;
  internal::SingleKeyChain chain;
  internal::describe_chain(key, weight, chain);
  internal::Node* merged =
      internal::union_with_chain(internal::this_thread_pool(), node_, chain, chain.root_level, /*chain_first=*/false);
  internal::release(node_);
  node_ = merged;
}

void SummedRadixTree::include(const SummedRadixTree& other) {
  internal::Node* merged = internal::union_nodes(internal::this_thread_pool(), node_, other.node_);
  internal::release(node_);
  node_ = merged;
}

SummedRadixTree SummedRadixTree::union_(const SummedRadixTree& a, const SummedRadixTree& b) {
  return SummedRadixTree(internal::union_nodes(internal::this_thread_pool(), a.node_, b.node_));
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

size_t SummedRadixTree::live_node_count() noexcept { return internal::this_thread_pool().live; }

SummedRadixTree::Scope::Scope() noexcept : saved_pool_(internal::this_thread_pool()) {
  internal::this_thread_pool() = internal::NodePool{};
}

void SummedRadixTree::Scope::discard_on_release() noexcept { internal::this_thread_pool().discarding = true; }

SummedRadixTree::Scope::~Scope() {
  internal::NodePool& pool = internal::this_thread_pool();
  internal::free_slabs(pool.slabs);
  pool = saved_pool_;
}

}  // namespace vossick
