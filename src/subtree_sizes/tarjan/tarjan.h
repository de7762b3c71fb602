// Iterative Tarjan traversal: finds the strongly connected components (SCCs)
// of a graph that a visitor hands out one node at a time, and delivers each
// completed SCC to the visitor, in reverse topological order, together with
// the wrapping sum of its members' node values and its SCC value (the merge of
// the values of every SCC it reaches by one edge, plus its own sum).
//
// An explicit stack of CallStackFrame records stands in for recursion, so the
// depth of the depth-first path is bounded by heap memory only.
//
// Thread-safety: visit_sccs runs entirely on the calling thread and shares no
// state between calls; the visitor is used only from that thread.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/result.h"
#include "base/u64_hash_map.h"

namespace vossick {
namespace tarjan {

// One per node entered, kept until the traversal ends: a single word, since
// the map holds tens of millions of them and is probed at random. While the
// node is on the stack the word holds its discovery `index`, afterwards its
// `scc_index`: the index of a node is only read while it is on the stack. The
// lowlink lives in the node's frame, the one place it is read and lowered
// (a node's lowlink is not needed after its frame has finished).
class BookkeepingEntry {
 public:
  // A node just entered: on the stack, no SCC yet.
  static BookkeepingEntry entered(uint64_t index) {
    BookkeepingEntry entry;
    entry.word_ = index | kOnStackBit;
    return entry;
  }

  bool on_stack() const noexcept { return (word_ & kOnStackBit) != 0; }
  // Meaningful only while on_stack().
  uint64_t index() const noexcept { return word_ & ~kOnStackBit; }
  std::optional<uint64_t> scc_index() const noexcept {
    if (on_stack()) return std::nullopt;
    return word_;
  }
  void complete(uint64_t scc_index) noexcept { word_ = scc_index; }

 private:
  // Discovery numbers and SCC indexes never reach 2^63: that many nodes
  // cannot be entered.
  static constexpr uint64_t kOnStackBit = uint64_t{1} << 63;

  uint64_t word_;
};

using BookkeepingMap = U64HashMap<BookkeepingEntry>;

}  // namespace tarjan

// The `is_visited` predicate handed to next_unvisited_node and
// get_successors: true when the id has been entered. Valid only during that
// call.
class VisitedPredicate {
 public:
  explicit VisitedPredicate(const tarjan::BookkeepingMap& bookkeeping) : bookkeeping_(&bookkeeping) {}
  bool operator()(uint64_t id) const noexcept { return bookkeeping_->contains(id); }
  // A hint that `id` will be asked about soon: starts loading its slot, which
  // in a map of millions of nodes is a cache miss. Answers nothing.
  void prefetch(uint64_t id) const noexcept { bookkeeping_->prefetch(id); }

 private:
  const tarjan::BookkeepingMap* bookkeeping_;
};

// What the traversal asks of a visitor. Node records are owned by the
// traversal from the moment they are returned; SCC values are copied into
// frames and into the per-SCC store.
//   next_unvisited_node(is_visited): the next root not yet visited, or none to end.
//   get_successors(node, is_visited): called once per node, when it is
//     entered (the node itself already counts as visited). For a successor
//     that is already visited the traversal reads only node_id, so the
//     visitor may hand out a node carrying just the id.
//   node_id, node_value: a node's id and the value summed per SCC (wrapping).
//   include(accumulator, other): merges `other` into `accumulator`.
//   add_node_value_to_scc_value(sum, scc_index, merged): the value of a new
//     SCC, given its sum, its index and the merge of what it reaches (if any).
//   emit_result(member_id, sum, value): once per member of a completed SCC.
template <class V>
concept GraphSCCVisitor = std::movable<typename V::Node> && std::copyable<typename V::SccValue> &&
    requires(V& visitor, const V& const_visitor, const VisitedPredicate& is_visited, const typename V::Node& node,
             typename V::SccValue& accumulator, const typename V::SccValue& other,
             const std::optional<typename V::SccValue>& merged, uint64_t number) {
  { visitor.next_unvisited_node(is_visited) } -> std::same_as<Result<std::optional<typename V::Node>>>;
  { visitor.get_successors(node, is_visited) } -> std::same_as<Result<std::vector<typename V::Node>>>;
  { const_visitor.node_id(node) } -> std::same_as<uint64_t>;
  { const_visitor.node_value(node) } -> std::same_as<uint64_t>;
  { const_visitor.include(accumulator, other) } -> std::same_as<void>;
  { visitor.add_node_value_to_scc_value(number, number, merged) } -> std::same_as<typename V::SccValue>;
  { visitor.emit_result(number, number, other) } -> std::same_as<Status>;
};

namespace tarjan {

// Frame states, in the order a frame passes through them. A finishing child
// merges its sum and SCC value into this frame at once (nothing of the visitor
// runs between its finishing and this frame's resuming, so the merge happens
// at the same point of the visitor's calls), so ChildProcessed carries nothing
// and a frame holds one SCC value, not two: a High sketch is 254 bytes and the
// path can be a million frames deep.
struct Exploring {};
struct WaitingForChild {};
struct ChildProcessed {};
struct Finished {};

using FrameState = std::variant<Exploring, WaitingForChild, ChildProcessed, Finished>;

template <GraphSCCVisitor V>
struct CallStackFrame {
  uint64_t node_id;
  FrameState state;
  std::optional<uint64_t> current_child;
  // Consumed from the front: entries before `next_successor` have been taken.
  std::vector<typename V::Node> successors;
  size_t next_successor;
  uint64_t node_value_sum;
  std::optional<typename V::SccValue> scc_value;
  // Tarjan's low-link of the node: starts as its discovery index.
  uint64_t lowlink;
};

// Append-only store of SCC values indexed by SCC index. SCC indexes are
// dense (0, 1, 2, ... in completion order), so this is the index-to-value map
// without hashing. Values live in fixed chunks and never move, so growing
// neither copies the values nor needs twice their memory.
template <class T>
class SccValueStore {
 public:
  SccValueStore() = default;
  SccValueStore(const SccValueStore&) = delete;
  SccValueStore& operator=(const SccValueStore&) = delete;
  ~SccValueStore() {
    for (size_t i = 0; i < size_; ++i) std::destroy_at(slot(i));
    for (T* chunk : chunks_) std::allocator<T>().deallocate(chunk, kPerChunk);
  }

  size_t size() const noexcept { return size_; }

  // Stores the value under index size() and returns it.
  const T& push_back(T value) {
    if (size_ == chunks_.size() * kPerChunk) chunks_.push_back(std::allocator<T>().allocate(kPerChunk));
    T* stored = std::construct_at(slot(size_), std::move(value));
    ++size_;
    return *stored;
  }

  const T* find(uint64_t index) const noexcept { return index < size_ ? slot(index) : nullptr; }

 private:
  static constexpr size_t kPerChunk = std::bit_floor(std::max<size_t>(1, (size_t{64} << 10) / sizeof(T)));

  T* slot(size_t index) const noexcept { return chunks_[index / kPerChunk] + index % kPerChunk; }

  std::vector<T*> chunks_;
  size_t size_ = 0;
};

// A stack whose storage grows by doubling without ever moving its entries:
// chunk k holds 4 << k entries, so capacity goes 4, 12, 28, ... Frames carry
// SCC values inline and the path can be millions deep; reallocating a vector
// of them would copy all of it and briefly need three times its size.
template <class T>
class SegmentedStack {
 public:
  SegmentedStack() = default;
  SegmentedStack(const SegmentedStack&) = delete;
  SegmentedStack& operator=(const SegmentedStack&) = delete;
  ~SegmentedStack() {
    while (size_ > 0) pop_back();
    for (size_t k = 0; k < chunks_.size(); ++k) std::allocator<T>().deallocate(chunks_[k], chunk_capacity(k));
  }

  bool empty() const noexcept { return size_ == 0; }
  size_t size() const noexcept { return size_; }
  T& back() noexcept { return *slot(size_ - 1); }
  // The entry below the top; size() must be at least 2.
  T& below_back() noexcept { return *slot(size_ - 2); }

  void push_back(T item) {
    const auto [chunk, offset] = locate(size_);
    if (chunk == chunks_.size()) chunks_.push_back(std::allocator<T>().allocate(chunk_capacity(chunk)));
    std::construct_at(chunks_[chunk] + offset, std::move(item));
    ++size_;
  }

  void pop_back() noexcept {
    std::destroy_at(slot(size_ - 1));
    --size_;
  }

 private:
  static constexpr size_t kFirstChunk = 4;

  static size_t chunk_capacity(size_t chunk) noexcept { return kFirstChunk << chunk; }
  // Chunk k starts at position kFirstChunk * (2^k - 1).
  static std::pair<size_t, size_t> locate(size_t position) noexcept {
    const size_t chunk = std::bit_width(position / kFirstChunk + 1) - 1;
    return {chunk, position - kFirstChunk * ((size_t{1} << chunk) - 1)};
  }
  T* slot(size_t position) const noexcept {
    const auto [chunk, offset] = locate(position);
    return chunks_[chunk] + offset;
  }

  std::vector<T*> chunks_;
  size_t size_ = 0;
};

template <GraphSCCVisitor V>
struct TarjanState {
  SegmentedStack<CallStackFrame<V>> frames;
  std::vector<uint64_t> stack;
  BookkeepingMap bookkeeping;
  SccValueStore<typename V::SccValue> scc_values;
  uint64_t next_index = 0;
  uint64_t next_scc_index = 0;
};

// Capacity doubles, starting at 4 entries.
template <class T>
void push_with_doubling(std::vector<T>& items, T item) {
  if (items.size() == items.capacity()) items.reserve(std::max<size_t>(4, 2 * items.capacity()));
  items.push_back(std::move(item));
}

template <GraphSCCVisitor V, class Value>
void merge_into(const V& visitor, std::optional<typename V::SccValue>& accumulator, Value&& other) {
  if (accumulator.has_value()) {
    visitor.include(*accumulator, other);
  } else {
    accumulator.emplace(std::forward<Value>(other));
  }
}

// Enters `node`: gives it the next discovery number, fetches its successors
// and pushes its frame on top. The node record is released on return.
template <GraphSCCVisitor V>
Status push_new_frame(TarjanState<V>& state, V& visitor, typename V::Node node) {
  const uint64_t id = visitor.node_id(node);
  const uint64_t index = state.next_index++;
  if (!state.bookkeeping.try_emplace(id, BookkeepingEntry::entered(index)).second) {
    return Error::panic("A node must not be entered twice");
  }
  VOSSICK_ASSIGN_OR_RETURN(std::vector<typename V::Node> successors,
                           visitor.get_successors(node, VisitedPredicate(state.bookkeeping)));
  push_with_doubling(state.stack, id);
  state.frames.push_back(CallStackFrame<V>{
      .node_id = id,
      .state = Exploring{},
      .current_child = std::nullopt,
      .successors = std::move(successors),
      .next_successor = 0,
      .node_value_sum = visitor.node_value(node),
      .scc_value = std::nullopt,
      .lowlink = index,
  });
  return ok_status();
}

template <GraphSCCVisitor V>
Result<BookkeepingEntry*> find_entry(TarjanState<V>& state, uint64_t id) {
  BookkeepingEntry* entry = state.bookkeeping.find(id);
  if (entry == nullptr) return Error::panic("A node looked up by the traversal has no bookkeeping entry");
  return entry;
}

// Takes the top frame's next successor: enters it, or lets it lower the
// lowlink (still on the stack), or merges its completed SCC's value.
template <GraphSCCVisitor V>
Status explore_next_successor(TarjanState<V>& state, V& visitor) {
  CallStackFrame<V>& frame = state.frames.back();
  if (frame.next_successor == frame.successors.size()) {
    frame.state = Finished{};
    return ok_status();
  }
  typename V::Node child = std::move(frame.successors[frame.next_successor++]);
  const uint64_t child_id = visitor.node_id(child);
  frame.current_child = child_id;
  const BookkeepingEntry* child_entry = state.bookkeeping.find(child_id);
  if (child_entry == nullptr) {
    frame.state = WaitingForChild{};
    return push_new_frame(state, visitor, std::move(child));
  }
  if (child_entry->on_stack()) {
    frame.lowlink = std::min(frame.lowlink, child_entry->index());
    return ok_status();
  }
  const typename V::SccValue* completed = state.scc_values.find(*child_entry->scc_index());
  if (completed == nullptr) return Error::panic("A completed SCC has no stored SCC value");
  merge_into(visitor, frame.scc_value, *completed);
  return ok_status();
}

// Resumes exploring once the child frame has finished; the child has
// already merged its result and lowered this node's lowlink.
template <GraphSCCVisitor V>
Status resume_after_child(TarjanState<V>& state) {
  CallStackFrame<V>& frame = state.frames.back();
  if (!frame.current_child.has_value()) {
    return Error::panic("A frame resumed after a child must know which child it took");
  }
  frame.state = Exploring{};
  return ok_status();
}

// How far ahead of the member being completed finish_frame prefetches the
// bookkeeping entry of another member.
inline constexpr size_t kMembersAhead = 8;

// Removes the top frame. If its node is an SCC root, completes the SCC and
// delivers it. The frame's result goes into the frame below, if any: when it
// belongs to that frame's SCC its sum, its value and its lowlink, else only
// the SCC's value (a completed SCC's root had a lowlink equal to its own
// index, above the parent's, so it could not lower the parent's lowlink).
template <GraphSCCVisitor V>
Status finish_frame(TarjanState<V>& state, V& visitor) {
  CallStackFrame<V>& frame = state.frames.back();
  CallStackFrame<V>* const parent = state.frames.size() > 1 ? &state.frames.below_back() : nullptr;
  // The parent's entry is read when it finishes; in a deep path it was
  // entered long ago and has left the cache.
  if (parent != nullptr) state.bookkeeping.prefetch(parent->node_id);
  VOSSICK_ASSIGN_OR_RETURN(BookkeepingEntry * own, find_entry(state, frame.node_id));
  if (frame.lowlink != own->index()) {
    if (parent != nullptr) {
      parent->lowlink = std::min(parent->lowlink, frame.lowlink);
      parent->node_value_sum += frame.node_value_sum;
      if (frame.scc_value.has_value()) merge_into(visitor, parent->scc_value, std::move(*frame.scc_value));
      parent->state = ChildProcessed{};
    }
    state.frames.pop_back();
    return ok_status();
  }

  const uint64_t scc_index = state.next_scc_index++;
  // The members are the top of the Tarjan stack down to this node; that tail,
  // read from the top, is the member list (most recently entered first).
  size_t root_position = state.stack.size();
  for (;;) {
    if (root_position == 0) return Error::panic("The Tarjan stack ran out before the SCC root was popped");
    // Members of a large SCC were entered long ago, their entries scattered.
    if (root_position > kMembersAhead) state.bookkeeping.prefetch(state.stack[root_position - 1 - kMembersAhead]);
    const uint64_t member = state.stack[--root_position];
    if (member == frame.node_id) {
      own->complete(scc_index);
      break;
    }
    VOSSICK_ASSIGN_OR_RETURN(BookkeepingEntry * entry, find_entry(state, member));
    entry->complete(scc_index);
  }
  if (state.scc_values.size() != scc_index) return Error::panic("SCC values must be stored in SCC index order");
  const typename V::SccValue& value =
      state.scc_values.push_back(visitor.add_node_value_to_scc_value(frame.node_value_sum, scc_index, frame.scc_value));
  for (size_t i = state.stack.size(); i-- > root_position;) {
    VOSSICK_TRY(visitor.emit_result(state.stack[i], frame.node_value_sum, value));
  }
  state.stack.resize(root_position);
  if (parent != nullptr) {
    merge_into(visitor, parent->scc_value, value);
    parent->state = ChildProcessed{};
  }
  state.frames.pop_back();
  return ok_status();
}

// The main loop over a prepared state; visit_sccs starts it on an empty one.
template <GraphSCCVisitor V>
Status run_main_loop(TarjanState<V>& state, V& visitor) {
  for (;;) {
    if (state.frames.empty()) {
      VOSSICK_ASSIGN_OR_RETURN(std::optional<typename V::Node> root,
                               visitor.next_unvisited_node(VisitedPredicate(state.bookkeeping)));
      if (!root.has_value()) return ok_status();
      if (state.bookkeeping.contains(visitor.node_id(*root))) continue;
      VOSSICK_TRY(push_new_frame(state, visitor, std::move(*root)));
      continue;
    }
    FrameState& frame_state = state.frames.back().state;
    if (std::holds_alternative<Exploring>(frame_state)) {
      VOSSICK_TRY(explore_next_successor(state, visitor));
    } else if (std::holds_alternative<WaitingForChild>(frame_state)) {
      return Error::panic(
          "We should not be returning to a frame waiting for a child without having processed the child");
    } else if (std::holds_alternative<ChildProcessed>(frame_state)) {
      VOSSICK_TRY(resume_after_child(state));
    } else {
      VOSSICK_TRY(finish_frame(state, visitor));
    }
  }
}

}  // namespace tarjan

// Runs the whole traversal. Returns success, or the first error a visitor
// operation returned, unchanged; on error every node and value held by the
// traversal is released, and what the visitor already did stays done.
template <GraphSCCVisitor V>
Status visit_sccs(V& visitor) {
  tarjan::TarjanState<V> state;
  return tarjan::run_main_loop(state, visitor);
}

// The same on a state the caller provides, new and empty, so that the caller
// decides when the SCC values it holds are released.
template <GraphSCCVisitor V>
Status visit_sccs(V& visitor, tarjan::TarjanState<V>& state) {
  return tarjan::run_main_loop(state, visitor);
}

}  // namespace vossick
