// Times the two subtree-size estimators on SCC values built the way the SCC
// traversal builds them: SCC i starts from the value of an earlier SCC,
// merges the value of another earlier SCC and adds its own index.
//
// Usage: estimators_bench [tree_sccs (default 1000000)] [sketch_sccs (default 200000)]
// Prints ns per operation and, for the radix tree, node counts.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "subtree_sizes/size_sketch/size_sketch.h"
#include "subtree_sizes/summed_radix_tree/summed_radix_tree.h"

namespace {

using Clock = std::chrono::steady_clock;

double nanoseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// Which earlier SCC each new SCC merges: its predecessor only, a recent one,
// or any earlier one.
enum class Pattern { kChain, kLocal, kRandom };

const char* pattern_name(Pattern pattern) {
  switch (pattern) {
    case Pattern::kChain: return "chain";
    case Pattern::kLocal: return "chain+local(64)";
    case Pattern::kRandom: return "chain+random";
  }
  return "?";
}

std::vector<size_t> merge_sources(Pattern pattern, size_t count) {
  std::mt19937_64 random(42);
  std::vector<size_t> sources(count, 0);
  for (size_t i = 1; i < count; ++i) {
    switch (pattern) {
      case Pattern::kChain: sources[i] = i - 1; break;
      case Pattern::kLocal: sources[i] = i - 1 - random() % (i < 64 ? i : 64); break;
      case Pattern::kRandom: sources[i] = random() % i; break;
    }
  }
  return sources;
}

uint64_t weight_of(size_t scc) { return 16 + (scc * 2654435761u) % 4096; }

template <size_t K>
void bench_sketch(size_t count, Pattern pattern) {
  using Sketch = vossick::SizeSketch<K>;
  const std::vector<size_t> sources = merge_sources(pattern, count);
  std::vector<Sketch> values(count);
  double add_ns = 0;
  double include_ns = 0;
  for (size_t i = 0; i < count; ++i) {
    Sketch value = i == 0 ? Sketch::empty() : values[i - 1];
    auto start = Clock::now();
    if (i != 0) value.include(values[sources[i]]);
    include_ns += nanoseconds_since(start);
    start = Clock::now();
    value.add_in_place(i, weight_of(i));
    add_ns += nanoseconds_since(start);
    values[i] = value;
  }
  // Merges timed in bulk, without a clock read per call.
  Sketch accumulator = Sketch::empty();
  auto start = Clock::now();
  for (size_t i = 0; i < count; ++i) accumulator.include(values[sources[i]]);
  const double bulk_include_ns = nanoseconds_since(start) / static_cast<double>(count);
  uint64_t checksum = accumulator.estimate();
  start = Clock::now();
  for (const Sketch& value : values) checksum += value.estimate();
  const double estimate_ns = nanoseconds_since(start) / static_cast<double>(count);
  std::printf(
      "SizeSketch<%3zu> %-16s n=%zu  add_in_place %8.1f ns  include %6.1f ns (bulk %6.1f ns)"
      "  estimate %6.1f ns  last estimate %llu (true sum %llu)  [checksum %llu]\n",
      K, pattern_name(pattern), count, add_ns / static_cast<double>(count), include_ns / static_cast<double>(count),
      bulk_include_ns, estimate_ns, static_cast<unsigned long long>(values.back().estimate()),
      static_cast<unsigned long long>([&] {
        uint64_t sum = 0;
        for (size_t i = 0; i < count; ++i) sum += weight_of(i);
        return sum;
      }()),
      static_cast<unsigned long long>(checksum));
}

void bench_tree(size_t count, Pattern pattern) {
  using vossick::SummedRadixTree;
  const std::vector<size_t> sources = merge_sources(pattern, count);
  const size_t nodes_before = SummedRadixTree::live_node_count();
  double include_ns = 0;
  double add_ns = 0;
  auto total_start = Clock::now();
  {
    std::vector<SummedRadixTree> values(count);
    for (size_t i = 0; i < count; ++i) {
      SummedRadixTree value = i == 0 ? SummedRadixTree::empty() : values[i - 1];
      auto start = Clock::now();
      if (i != 0) value.include(values[sources[i]]);
      include_ns += nanoseconds_since(start);
      start = Clock::now();
      value.add_in_place(i, weight_of(i));
      add_ns += nanoseconds_since(start);
      values[i] = std::move(value);
    }
    const double build_ns = nanoseconds_since(total_start);
    uint64_t checksum = 0;
    auto start = Clock::now();
    for (const SummedRadixTree& value : values) checksum += value.estimate();
    const double estimate_ns = nanoseconds_since(start) / static_cast<double>(count);
    // The root hashes pin the trees' structure, not only their sums.
    uint64_t hash_checksum = 0;
    for (const SummedRadixTree& value : values) {
      hash_checksum = hash_checksum * 31 + (value.hash().low ^ value.hash().high);
    }
    const size_t nodes = SummedRadixTree::live_node_count() - nodes_before;
    start = Clock::now();
    values.clear();
    const double release_ns = nanoseconds_since(start);
    std::printf(
        "SummedRadixTree %-16s n=%zu  include %7.1f ns  add_in_place %7.1f ns  estimate %4.1f ns"
        "  build %.2f s  release %.2f s  live nodes %zu (%.2f per SCC, %.0f MiB)"
        "  [checksum %llu, hashes %016llx]\n",
        pattern_name(pattern), count, include_ns / static_cast<double>(count), add_ns / static_cast<double>(count),
        estimate_ns, build_ns * 1e-9, release_ns * 1e-9, nodes, static_cast<double>(nodes) / static_cast<double>(count),
        static_cast<double>(nodes) * sizeof(vossick::summed_radix_tree_internal::Node) / (1024.0 * 1024.0),
        static_cast<unsigned long long>(checksum), static_cast<unsigned long long>(hash_checksum));
  }
  std::printf("  nodes left after release: %zu\n", SummedRadixTree::live_node_count() - nodes_before);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t tree_count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const size_t sketch_count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200000;
  for (Pattern pattern : {Pattern::kChain, Pattern::kLocal, Pattern::kRandom}) {
    bench_sketch<7>(sketch_count, pattern);
    bench_sketch<31>(sketch_count, pattern);
    bench_sketch<127>(sketch_count, pattern);
  }
  for (Pattern pattern : {Pattern::kChain, Pattern::kLocal, Pattern::kRandom}) bench_tree(tree_count, pattern);
  return 0;
}
