// The profile of compute_retained_sizes: times each phase of the run over an
// imported environment, in one write transaction that it aborts (the
// environment is left as it was), or commits with --commit.
//
// Usage: dominators_bench DB_DIR [--commit]
// Prints objects, references, and per phase seconds and anonymous memory.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "dominators/compact_graph.h"
#include "dominators/dominator_tree.h"
#include "dominators/retained_store.h"
#include "dominators/virtual_root.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace vossick;
using namespace vossick::dominators;

template <class T>
T or_exit(Result<T>&& result) {
  if (!result.ok()) {
    std::fprintf(stderr, "dominators_bench: %s\n", result.error().text().c_str());
    std::exit(1);
  }
  return std::move(result).value();
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Anonymous memory in use now (the data file's mapping not included).
double rss_anon_mib() {
  std::ifstream status("/proc/self/status");
  for (std::string row; std::getline(status, row);) {
    if (row.rfind("RssAnon:", 0) == 0) return std::stod(row.substr(8)) / 1024;
  }
  return 0;
}

// Wall and thread CPU seconds per phase (on a loaded machine the CPU figure
// is the steadier one), and anonymous memory at its end over the start's.
class Phases {
 public:
  void end(const char* name) {
    const Clock::time_point now = Clock::now();
    const double cpu = thread_cpu_seconds();
    std::printf("%-16s %8.3f s wall %8.3f s CPU  RssAnon %+7.1f MiB\n", name,
                std::chrono::duration<double>(now - last_).count(), cpu - last_cpu_, rss_anon_mib() - rss_start_);
    last_ = now;
    last_cpu_ = cpu;
  }

 private:
  Clock::time_point last_ = Clock::now();
  double last_cpu_ = thread_cpu_seconds();
  double rss_start_ = rss_anon_mib();
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: dominators_bench DB_DIR [--commit]\n");
    return 2;
  }
  const bool commit = argc > 2 && std::strcmp(argv[2], "--commit") == 0;
  const Explorer explorer = or_exit(Explorer::open(argv[1]));
  StopPoll stop(never_stop(), 4096);
  Phases phases;
  Transaction txn = or_exit(Transaction::begin_write(explorer.env()));
  phases.end("begin");
  CompactGraph graph = or_exit(load_compact_graph(txn, explorer.dbs(), stop));
  std::printf("objects %u references %zu types %zu\n", graph.node_count(), graph.targets.size(),
              graph.type_names.size());
  phases.end("load graph");
  MappedArray<uint8_t> children = or_exit(find_virtual_root_children(graph, stop));
  phases.end("virtual root");
  DominatorTree tree = or_exit(build_dominator_tree(graph, children, stop));
  children.reset();
  phases.end("dominator tree");
  Status stored = store_dominator_tree(txn, explorer.dbs(), graph, tree, stop);
  if (!stored.ok()) return or_exit(Result<int>(stored.error()));
  phases.end("store");
  if (commit) {
    Status committed = txn.commit();
    if (!committed.ok()) return or_exit(Result<int>(committed.error()));
    phases.end("commit");
  }
  return 0;
}
