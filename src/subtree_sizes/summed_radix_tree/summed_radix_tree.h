// SummedRadixTree: the exact subtree-size estimator (precision Exact).
//
// A persistent map from u64 keys (SCC indexes) to u64 weights, stored as a
// radix tree with 8 children per node. Every node carries the wrap-around sum
// of the weights below it and a 128-bit XXH3 content hash; `union_` builds new
// nodes only where its two inputs differ and shares every subtree with equal
// hashes, so the maps of SCCs that reach mostly the same components share
// most of their nodes.
//
// A SummedRadixTree is a handle: a counted reference to an immutable node,
// never null. Copying shares the node; no operation changes a node in place.
// The empty map is one immutable EMPTY node shared by the whole process.
//
// Thread safety: none for trees. Reference counts are plain counters and
// nodes come from a per-thread pool: a tree, every copy of it and every tree
// sharing its nodes must be created, used and destroyed on one thread.
// Different threads may build their own trees at the same time; the only
// state they share is the immutable EMPTY.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vossick {

enum class RadixNodeKind : uint8_t { kEmpty, kLeaf, kBranch };

// An XXH3 128-bit result. Where a hash is itself hashed it contributes low
// then high, each as u64 little-endian.
struct Hash128 {
  uint64_t low = 0;
  uint64_t high = 0;
  friend bool operator==(const Hash128&, const Hash128&) = default;
};

namespace summed_radix_tree_internal {

// One allocation per node, 96 bytes for both Leaf and Branch, 32-aligned so
// that a node spans exactly two cache lines and its header and hash share
// one. A Leaf's `values[j]` is the weight of relative key j (0 = absent). A
// Branch of level L owns one reference to each child; child i covers relative
// keys i·8^L to (i+1)·8^L - 1. EMPTY has sum 0 and hash 0, so sums and branch
// hashes need no special case for empty children.
struct alignas(32) Node {
  uint32_t references;
  RadixNodeKind kind;
  uint8_t level;  // Branch: 1 to 21; Leaf and EMPTY: 0
  uint64_t sum;
  Hash128 hash;
  union {
    uint64_t values[8];
    Node* children[8];
  };
};
static_assert(sizeof(Node) == 96);

// The one EMPTY node of the process. It is never written (retain and release
// skip it by address), so every thread may share it without synchronisation
// and reaching it needs no thread-local lookup.
inline constinit const Node empty_node{0, RadixNodeKind::kEmpty, 0, 0, {}, {.values = {}}};

inline Node* empty_ptr() noexcept { return const_cast<Node*>(&empty_node); }
inline bool is_empty(const Node* node) noexcept { return node == &empty_node; }

[[noreturn]] void abort_reference_overflow() noexcept;
// Frees a node whose last reference was released, and every descendant whose
// last reference that releases.
void destroy_node(Node* node) noexcept;

inline Node* retain(Node* node) noexcept {
  if (!is_empty(node)) {
    if (++node->references == 0) [[unlikely]]
      abort_reference_overflow();
  }
  return node;
}

inline void release(Node* node) noexcept {
  if (!is_empty(node) && --node->references == 0) destroy_node(node);
}

struct Slab;

// A thread's nodes: slabs carved by a bump pointer, freed nodes recycled
// through a free list.
struct NodePool {
  Node* free_list;  // linked through the last word of each free node
  Node* bump;
  Node* bump_end;
  Slab* slabs;  // newest first
  size_t live;
  bool discarding;  // nodes are freed with the pool, not one by one
};

}  // namespace summed_radix_tree_internal

class SummedRadixTree {
 public:
  // The empty map (the EMPTY node).
  SummedRadixTree() noexcept : node_(summed_radix_tree_internal::empty_ptr()) {}
  static SummedRadixTree empty() noexcept { return SummedRadixTree(); }

  SummedRadixTree(const SummedRadixTree& other) noexcept : node_(summed_radix_tree_internal::retain(other.node_)) {}
  // Leaves `other` empty.
  SummedRadixTree(SummedRadixTree&& other) noexcept : node_(other.node_) {
    other.node_ = summed_radix_tree_internal::empty_ptr();
  }
  SummedRadixTree& operator=(const SummedRadixTree& other) noexcept {
    summed_radix_tree_internal::Node* previous = node_;
    node_ = summed_radix_tree_internal::retain(other.node_);
    summed_radix_tree_internal::release(previous);
    return *this;
  }
  SummedRadixTree& operator=(SummedRadixTree&& other) noexcept {
    if (this != &other) {
      summed_radix_tree_internal::Node* previous = node_;
      node_ = other.node_;
      other.node_ = summed_radix_tree_internal::empty_ptr();
      summed_radix_tree_internal::release(previous);
    }
    return *this;
  }
  ~SummedRadixTree() { summed_radix_tree_internal::release(node_); }

  // Replaces this handle by a tree in which `key` holds the larger of its old
  // weight and `weight`. When the key already holds exactly `weight` (or is
  // absent and `weight` is 0) the root node stays the same.
  void add_in_place(uint64_t key, uint64_t weight);

  // this = union_(this, other).
  void include(const SummedRadixTree& other);

  // The total weight, modulo 2^64; 0 for the empty map.
  uint64_t estimate() const noexcept { return node_->sum; }

  // Every key of a and b, with the larger weight where both hold it. Subtrees
  // with equal hashes are not visited: the one with more references (a on a
  // tie) is shared.
  static SummedRadixTree union_(const SummedRadixTree& a, const SummedRadixTree& b);

  // XXH3-128 over the 8 children's hashes (16 zero bytes for EMPTY).
  static Hash128 calculate_branch_hash(const std::array<SummedRadixTree, 8>& children) noexcept;

  // Read-only view of the root node, for tests and tools.
  RadixNodeKind kind() const noexcept { return node_->kind; }
  uint8_t level() const noexcept { return node_->level; }
  uint64_t sum() const noexcept { return node_->sum; }
  Hash128 hash() const noexcept { return node_->hash; }
  // Leaf only: the weight at relative key `slot` (0 to 7); 0 for other kinds.
  uint64_t leaf_value(size_t slot) const noexcept {
    return node_->kind == RadixNodeKind::kLeaf ? node_->values[slot] : 0;
  }
  // Branch only: a new handle to child `index` (0 to 7); EMPTY for other kinds.
  SummedRadixTree child(size_t index) const noexcept;
  // The node's address: equal for handles that share a node.
  const void* identity() const noexcept { return node_; }
  // References held to the root node (handles and parents). EMPTY is not
  // counted and reports 0.
  uint32_t reference_count() const noexcept { return node_->references; }

  // Nodes allocated on this thread and not yet freed (EMPTY excluded).
  static size_t live_node_count() noexcept;

  // A node pool of the thread's own for a computation that builds trees and
  // drops them all when it ends (the post-import pass holds millions of nodes
  // until then). Trees built while the scope lives come from its pool. After
  // discard_on_release(), a node whose last reference goes is no longer freed
  // (nor are its children visited); when the scope ends, every node of its
  // pool goes back to the system at once. So every tree built in the scope
  // must be destroyed before the scope ends, a tree from before the scope
  // must not lose its last reference inside it, and once discarding, trees
  // of the scope must not share nodes of trees from outside (their references
  // would never be given back). Scopes nest, each restoring the pool it found.
  class Scope {
   public:
    Scope() noexcept;
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope();
    void discard_on_release() noexcept;

   private:
    summed_radix_tree_internal::NodePool saved_pool_;
  };

 private:
  // Adopts one reference.
  explicit SummedRadixTree(summed_radix_tree_internal::Node* node) noexcept : node_(node) {}

  summed_radix_tree_internal::Node* node_;
};

}  // namespace vossick
