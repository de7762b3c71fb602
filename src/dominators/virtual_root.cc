#include "dominators/virtual_root.h"

namespace vossick::dominators {

namespace {

struct Frame {
  uint32_t node;
  uint32_t next_edge;
  uint32_t index;  // the node's visit index; it roots a component if its word still holds it when done
};

// Numbers the strongly connected components with Pearce's one-word variant of
// Tarjan's algorithm. A node's word is 0 before its visit, then its visit
// index, lowered to the least index it reaches while its component is open,
// and finally its component's number. Visit indexes count up from 1 and are
// given back as components close; component numbers count down from n - 1,
// so a closed node's number is never below an open node's word and never
// lowers it.
Result<MappedArray<uint32_t>> number_components(const CompactGraph& graph, StopPoll& stop) {
  const uint32_t n = graph.node_count();
  MappedArray<uint32_t> word(n);
  MappedArray<Frame> frames;
  MappedArray<uint32_t> open;  // finished nodes whose component is still open
  uint32_t index = 1;
  uint32_t component = n - 1;
  auto enter = [&](uint32_t node) {
    word[node] = index;
    frames.push_back(Frame{node, graph.edge_begin[node], index});
    ++index;
  };
  for (uint32_t start = 0; start < n; ++start) {
    if (word[start] != 0) continue;
    enter(start);
    while (!frames.empty()) {
      VOSSICK_TRY(stop.poll());
      Frame& frame = frames.back();
      if (frame.next_edge < graph.edge_begin[frame.node + 1]) {
        const uint32_t next = graph.targets[frame.next_edge++];
        if (word[next] == 0) {
          enter(next);  // may move the frames: `frame` is not used again
        } else if (word[next] < word[frame.node]) {
          word[frame.node] = word[next];
        }
        continue;
      }
      const Frame done = frame;
      frames.pop_back();
      if (word[done.node] == done.index) {
        --index;
        while (!open.empty() && done.index <= word[open.back()]) {
          word[open.back()] = component;
          open.pop_back();
          --index;
        }
        word[done.node] = component--;
      } else {
        open.push_back(done.node);
      }
      if (!frames.empty() && word[done.node] < word[frames.back().node]) {
        word[frames.back().node] = word[done.node];
      }
    }
  }
  return word;
}

}  // namespace

Result<MappedArray<uint8_t>> find_virtual_root_children(const CompactGraph& graph, StopPoll& stop) {
  const uint32_t n = graph.node_count();
  VOSSICK_ASSIGN_OR_RETURN(MappedArray<uint32_t> component, number_components(graph, stop));
  constexpr uint8_t kEntered = 1;    // referenced from outside: not a source
  constexpr uint8_t kHasModule = 2;  // entered through its modules alone
  MappedArray<uint8_t> flags(n);     // per component number
  for (uint32_t node = 0; node < n; ++node) {
    VOSSICK_TRY(stop.poll());
    const uint32_t own = component[node];
    if (graph.is_module(node)) flags[own] |= kHasModule;
    for (uint32_t e = graph.edge_begin[node]; e < graph.edge_begin[node + 1]; ++e) {
      const uint32_t other = component[graph.targets[e]];
      if (other != own) flags[other] |= kEntered;
    }
  }
  MappedArray<uint8_t> children(n);
  for (uint32_t node = 0; node < n; ++node) {
    const uint8_t f = flags[component[node]];
    children[node] = (f & kEntered) == 0 && ((f & kHasModule) == 0 || graph.is_module(node));
  }
  return children;
}

}  // namespace vossick::dominators
