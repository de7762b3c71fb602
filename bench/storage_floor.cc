// The storage floor: what LMDB alone needs for the writes of an import and of
// a post-import pass, so that the module's times can be read as a ratio to it.
//
// Everything is parsed and encoded before the clock starts. Then, in a fresh
// environment opened by the module's own storage layer (same map size, same
// flags, same six databases), it times:
//   import: one write transaction with exactly the puts the import performs,
//     in input order (primary, referrers per reference, types x2,
//     types_size_index x2), commit included;
//   append: the same puts sorted beforehand (not timed) into each
//     database's own order, each stored pair once, then written in one
//     transaction with MDB_APPEND / MDB_APPENDDUP in an environment of their
//     own (EMPTY_DIR/append): the least work and the smallest file LMDB can
//     hold the import's entries in; then its summaries;
//   summaries: the type-summary rebuild (cursor walk of types_size_index and
//     one put per type), the whole pass at NoEstimates;
//   pass: the summaries again plus the estimation's LMDB work: a cursor walk
//     of primary, one get per reference when a node is entered, and per
//     object one get and one rewrite of its record and two index puts, in the
//     order the traversal emits them (computed beforehand with the module's
//     own traversal over the graph held in memory), commit included. The
//     rewritten records carry the exact subtree sizes (Low's estimates
//     above 3 M records).
// A sampler thread records how far RssAnon rises above its level at the start
// of each timed transaction (LMDB keeps a write transaction's dirty pages in
// malloc'd memory).
//
// Usage: storage_floor DUMP.jsonl EMPTY_DIR
// Prints "key value" lines: records, references, sccs, import_seconds,
// append_seconds, summaries_seconds, pass_seconds, *_rss_anon_growth_mib and
// the data files' sizes (import_data_mib, append_data_mib).
// Single-threaded apart from the sampler.

#include <lmdb.h>
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/u64_hash_map.h"
#include "records/record.h"
#include "records/record_parser.h"
#include "records/record_writer.h"
#include "storage/databases.h"
#include "storage/encodings.h"
#include "storage/environment.h"
#include "subtree_sizes/scc_size_visitor.h"
#include "subtree_sizes/size_sketch/size_sketch.h"
#include "subtree_sizes/subtree_size_writer.h"
#include "subtree_sizes/summed_radix_tree/summed_radix_tree.h"
#include "subtree_sizes/tarjan/tarjan.h"

namespace {

using vossick::kAllTypesName;

struct Record {
  uint64_t id;
  uint64_t size;
  uint64_t json_offset;       // into Dump::json
  uint64_t rewritten_offset;  // into Dump::rewritten
  uint64_t references_offset;
  uint32_t json_length;
  uint32_t rewritten_length;
  uint32_t reference_count;
  uint32_t type;
  unsigned char size_entry[16];     // types_size_index value
  unsigned char subtree_entry[16];  // types_subtree_size_index value
};

struct Dump {
  std::vector<Record> records;
  std::vector<uint64_t> references;
  std::string json;
  std::string rewritten;
  std::vector<std::string> type_names;
  // Traversal events in order: kEnter | record (gets for its references,
  // listed in pass_gets), or a record whose result is emitted.
  std::vector<uint32_t> events;
  std::vector<uint64_t> pass_gets;
  uint64_t scc_count = 0;
  // Bounds the depth of the depth-first path.
  uint64_t tarjan_stack_max = 0;
};

constexpr uint32_t kEnter = 1u << 31;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "storage_floor: %s\n", what.c_str());
  std::exit(1);
}

void check(int rc, const char* what) {
  if (rc != 0 && rc != MDB_KEYEXIST) die(std::string(what) + ": " + mdb_strerror(rc));
}

Dump load(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die(std::string("cannot open ") + path);
  Dump dump;
  std::unordered_map<std::string, uint32_t> type_numbers;
  vossick::RawObjectRecord record;
  std::string line;
  while (std::getline(in, line)) {
    vossick::Status parsed = vossick::parse_record(line, record);
    if (!parsed.ok()) die("parse error: " + std::string(parsed.error().text()));
    Record r{};
    r.id = record.id;
    r.size = record.size;
    r.json_offset = dump.json.size();
    vossick::write_record(record, dump.json);
    r.json_length = static_cast<uint32_t>(dump.json.size() - r.json_offset);
    r.references_offset = dump.references.size();
    r.reference_count = static_cast<uint32_t>(record.references.size());
    dump.references.insert(dump.references.end(), record.references.begin(), record.references.end());
    auto [it, inserted] = type_numbers.try_emplace(record.type, static_cast<uint32_t>(dump.type_names.size()));
    if (inserted) dump.type_names.push_back(record.type);
    r.type = it->second;
    const auto entry = vossick::encode_size_index_entry({record.size, record.id});
    std::memcpy(r.size_entry, entry.bytes, 16);
    dump.records.push_back(r);
  }
  return dump;
}

// The module's traversal over the in-memory graph, with the same successor
// rules as the SCC size visitor; it records the LMDB work the pass will do
// and in which order, and the estimates the rewritten records carry.
template <class Estimator>
class PlanningVisitor {
 public:
  struct Node {
    uint64_t id;
    uint32_t record;
  };
  using SccValue = Estimator;

  PlanningVisitor(Dump& dump, const std::vector<uint32_t>& roots) : dump_(dump), roots_(roots) {
    for (uint32_t i = 0; i < dump.records.size(); ++i) record_of_.try_emplace(dump.records[i].id, i);
    for (uint32_t t = 0; t < dump.type_names.size(); ++t) {
      if (dump.type_names[t] == "builtins.module") module_type_ = t;
    }
    subtree_sizes_.assign(dump.records.size(), 0);
  }

  template <class IsVisited>
  vossick::Result<std::optional<Node>> next_unvisited_node(const IsVisited& is_visited) {
    while (next_root_ < roots_.size()) {
      const uint32_t r = roots_[next_root_++];
      if (!is_visited(dump_.records[r].id)) return std::optional<Node>(Node{dump_.records[r].id, r});
    }
    return std::optional<Node>();
  }

  // Keeps one get per reference, as the floor is defined, although the
  // module does not fetch records of already visited successors.
  template <class IsVisited>
  vossick::Result<std::vector<Node>> get_successors(const Node& node, const IsVisited&) {
    dump_.events.push_back(kEnter | node.record);
    dump_.tarjan_stack_max = std::max(dump_.tarjan_stack_max, ++on_stack_);
    const Record& rec = dump_.records[node.record];
    std::vector<Node> successors;
    for (uint32_t k = 0; k < rec.reference_count; ++k) {
      const uint64_t id = dump_.references[rec.references_offset + k];
      if (module_ids_.contains(id)) continue;
      dump_.pass_gets.push_back(id);
      const uint32_t* target = record_of_.find(id);
      if (target == nullptr) continue;
      if (module_type_ && dump_.records[*target].type == *module_type_) {
        module_ids_.try_emplace(id, 0);
        continue;
      }
      successors.push_back(Node{id, *target});
    }
    dump_.pass_gets.push_back(~uint64_t{0});  // end of this node's gets
    return successors;
  }

  uint64_t node_id(const Node& node) const { return node.id; }
  uint64_t node_value(const Node& node) const { return dump_.records[node.record].size; }
  void include(SccValue& accumulator, const SccValue& other) const { accumulator.include(other); }
  SccValue add_node_value_to_scc_value(uint64_t sum, uint64_t scc_index, const std::optional<SccValue>& merged) {
    SccValue value = merged ? *merged : SccValue::empty();
    value.add_in_place(scc_index, sum);
    dump_.scc_count = scc_index + 1;
    return value;
  }
  vossick::Status emit_result(uint64_t member_id, uint64_t, const SccValue& value) {
    const uint32_t r = *record_of_.find(member_id);
    dump_.events.push_back(r);
    --on_stack_;
    subtree_sizes_[r] = value.estimate();
    return vossick::ok_status();
  }

  const std::vector<uint64_t>& subtree_sizes() const { return subtree_sizes_; }

 private:
  Dump& dump_;
  const std::vector<uint32_t>& roots_;
  size_t next_root_ = 0;
  uint64_t on_stack_ = 0;
  vossick::U64HashMap<uint32_t> record_of_;
  vossick::U64HashMap<uint32_t> module_ids_;
  std::optional<uint32_t> module_type_;
  std::vector<uint64_t> subtree_sizes_;
};

template <class Estimator>
void plan_pass(Dump& dump) {
  // Roots come in ascending id order; a repeated id keeps its last record.
  std::unordered_map<uint64_t, uint32_t> last;
  for (uint32_t i = 0; i < dump.records.size(); ++i) last[dump.records[i].id] = i;
  std::vector<uint32_t> roots;
  for (const auto& [id, r] : last) roots.push_back(r);
  std::sort(roots.begin(), roots.end(),
            [&](uint32_t a, uint32_t b) { return dump.records[a].id < dump.records[b].id; });
  PlanningVisitor<Estimator> visitor(dump, roots);
  if (!vossick::visit_sccs(visitor).ok()) die("planning traversal failed");
  vossick::RawObjectRecord record;
  for (uint32_t r : roots) {
    Record& rec = dump.records[r];
    if (!vossick::parse_record(std::string_view(dump.json).substr(rec.json_offset, rec.json_length), record).ok()) {
      die("canonical record does not parse");
    }
    record.subtree_size = visitor.subtree_sizes()[r];
    rec.rewritten_offset = dump.rewritten.size();
    vossick::write_record(record, dump.rewritten);
    rec.rewritten_length = static_cast<uint32_t>(dump.rewritten.size() - rec.rewritten_offset);
    const auto entry = vossick::encode_size_index_entry({*record.subtree_size, record.id});
    std::memcpy(rec.subtree_entry, entry.bytes, 16);
  }
}

long rss_anon_kib() {
  std::ifstream status("/proc/self/status");
  std::string row;
  while (std::getline(status, row)) {
    if (row.rfind("RssAnon:", 0) == 0) return std::stol(row.substr(8));
  }
  return 0;
}

// Peak RssAnon above the level at construction, sampled every 5 ms.
class RssGrowthSampler {
 public:
  // Trims first: heap memory freed by the preparation would otherwise be
  // reused by LMDB's page allocations and hide them.
  RssGrowthSampler() : baseline_((malloc_trim(0), rss_anon_kib())), peak_(baseline_) {
    thread_ = std::thread([this] {
      while (!done_.load()) {
        peak_ = std::max(peak_.load(), rss_anon_kib());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  double stop_mib() {
    done_ = true;
    thread_.join();
    return static_cast<double>(std::max(peak_.load(), rss_anon_kib()) - baseline_) / 1024.0;
  }

 private:
  long baseline_;
  std::atomic<long> peak_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

MDB_val val(const void* data, size_t size) { return MDB_val{size, const_cast<void*>(data)}; }
MDB_val val(std::string_view s) { return val(s.data(), s.size()); }

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of the calling thread: on a shared machine it varies far less
// than wall time with what other processes do.
double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
  double wall;
  double cpu;
};

template <class Work>
Timing timed(Work&& work) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = thread_cpu_seconds();
  work();
  return Timing{seconds_since(start), thread_cpu_seconds() - cpu_start};
}

// Hands `put(dbi, key, value)` exactly the import's puts, in input order.
template <class Put>
void for_each_import_put(const vossick::Databases& dbs, const Dump& dump, Put&& put) {
  const MDB_val all_types = val(kAllTypesName);
  for (const Record& rec : dump.records) {
    put(dbs.primary, val(&rec.id, 8), val(dump.json.data() + rec.json_offset, rec.json_length));
    for (uint32_t k = 0; k < rec.reference_count; ++k) {
      put(dbs.referrers, val(&dump.references[rec.references_offset + k], 8), val(&rec.id, 8));
    }
    const MDB_val type = val(dump.type_names[rec.type]);
    put(dbs.types, type, val(&rec.id, 8));
    put(dbs.types, all_types, val(&rec.id, 8));
    put(dbs.types_size_index, type, val(rec.size_entry, 16));
    put(dbs.types_size_index, all_types, val(rec.size_entry, 16));
  }
}

void run_import(MDB_env* env, const vossick::Databases& dbs, const Dump& dump) {
  MDB_txn* txn = nullptr;
  check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
  for_each_import_put(dbs, dump, [&](MDB_dbi dbi, MDB_val key, MDB_val value) {
    check(mdb_put(txn, dbi, &key, &value, 0), "put");
  });
  check(mdb_txn_commit(txn), "commit");
}

struct Put {
  MDB_dbi dbi;
  MDB_val key;
  MDB_val value;
};

// The import's puts sorted into each database's own order (LMDB's
// comparators), each stored pair once: for a key put several times without
// duplicates, its last put.
std::vector<Put> sorted_import_puts(MDB_env* env, const vossick::Databases& dbs, const Dump& dump) {
  std::vector<Put> puts;
  for_each_import_put(dbs, dump, [&](MDB_dbi dbi, MDB_val key, MDB_val value) { puts.push_back({dbi, key, value}); });
  MDB_txn* txn = nullptr;
  check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "begin read");
  const auto duplicates = [&](MDB_dbi dbi) {
    unsigned flags = 0;
    check(mdb_dbi_flags(txn, dbi, &flags), "flags");
    return (flags & MDB_DUPSORT) != 0;
  };
  const auto order = [&](const Put& a, const Put& b) {
    if (a.dbi != b.dbi) return a.dbi < b.dbi ? -1 : 1;
    MDB_val ka = a.key, kb = b.key, va = a.value, vb = b.value;
    const int c = mdb_cmp(txn, a.dbi, &ka, &kb);
    return c != 0 || !duplicates(a.dbi) ? c : mdb_dcmp(txn, a.dbi, &va, &vb);
  };
  std::stable_sort(puts.begin(), puts.end(), [&](const Put& a, const Put& b) { return order(a, b) < 0; });
  std::vector<Put> stored;
  for (const Put& put : puts) {
    if (!stored.empty() && order(stored.back(), put) == 0) {
      stored.back() = put;
    } else {
      stored.push_back(put);
    }
  }
  mdb_txn_abort(txn);
  return stored;
}

// The sorted puts in one transaction, every one appended.
void run_append_import(MDB_env* env, const std::vector<Put>& puts) {
  MDB_txn* txn = nullptr;
  check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
  MDB_cursor* cursor = nullptr;
  const Put* last = nullptr;
  for (const Put& put : puts) {
    const bool same_db = last != nullptr && last->dbi == put.dbi;
    if (!same_db) {
      if (cursor != nullptr) mdb_cursor_close(cursor);
      check(mdb_cursor_open(txn, put.dbi, &cursor), "cursor");
    }
    MDB_val key = put.key, value = put.value, last_key = same_db ? last->key : MDB_val{};
    const bool same_key = same_db && mdb_cmp(txn, put.dbi, &key, &last_key) == 0;
    const int rc = mdb_cursor_put(cursor, &key, &value, same_key ? MDB_APPENDDUP : MDB_APPEND);
    if (rc != 0) die(std::string("append: ") + mdb_strerror(rc));
    last = &put;
  }
  if (cursor != nullptr) mdb_cursor_close(cursor);
  check(mdb_txn_commit(txn), "commit");
}

double data_file_mib(const std::string& dir) {
  struct stat st {};
  if (::stat((dir + "/data.mdb").c_str(), &st) != 0) die("no data file in " + dir);
  return static_cast<double>(st.st_size) / (1 << 20);
}

void rebuild_summaries(MDB_env* env, MDB_txn* write_txn, const vossick::Databases& dbs) {
  MDB_txn* read_txn = nullptr;
  check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &read_txn), "begin read");
  MDB_cursor* cursor = nullptr;
  check(mdb_cursor_open(read_txn, dbs.types_size_index, &cursor), "cursor");
  MDB_val key, value;
  std::string group;
  uint64_t summary[2] = {0, 0};
  bool in_group = false;
  for (int rc = mdb_cursor_get(cursor, &key, &value, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(cursor, &key, &value, MDB_NEXT)) {
    const std::string_view k(static_cast<const char*>(key.mv_data), key.mv_size);
    if (!in_group || k != group) {
      if (in_group) {
        MDB_val g = val(group), s = val(summary, 16);
        check(mdb_put(write_txn, dbs.type_summaries, &g, &s, 0), "put type_summaries");
      }
      group.assign(k);
      summary[0] = summary[1] = 0;
      in_group = true;
    }
    summary[0] += 1;
    summary[1] += ~vossick::load_be64(static_cast<const unsigned char*>(value.mv_data));
  }
  if (in_group) {
    MDB_val g = val(group), s = val(summary, 16);
    check(mdb_put(write_txn, dbs.type_summaries, &g, &s, 0), "put type_summaries");
  }
  mdb_cursor_close(cursor);
  mdb_txn_abort(read_txn);
}

void run_summaries(MDB_env* env, const vossick::Databases& dbs) {
  MDB_txn* txn = nullptr;
  check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
  rebuild_summaries(env, txn, dbs);
  check(mdb_txn_commit(txn), "commit");
}

void run_pass(MDB_env* env, const vossick::Databases& dbs, const Dump& dump) {
  MDB_txn* write_txn = nullptr;
  check(mdb_txn_begin(env, nullptr, 0, &write_txn), "begin");
  rebuild_summaries(env, write_txn, dbs);
  MDB_txn* read_txn = nullptr;
  check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &read_txn), "begin read");
  MDB_cursor* roots = nullptr;
  check(mdb_cursor_open(read_txn, dbs.primary, &roots), "cursor");
  MDB_val key, value;
  for (int rc = mdb_cursor_get(roots, &key, &value, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(roots, &key, &value, MDB_NEXT)) {
  }
  const MDB_val all_types = val(kAllTypesName);
  size_t next_get = 0;
  for (uint32_t event : dump.events) {
    if (event & kEnter) {
      for (;; ++next_get) {
        const uint64_t& id = dump.pass_gets[next_get];
        if (id == ~uint64_t{0}) break;
        MDB_val k = val(&id, 8);
        const int rc = mdb_get(read_txn, dbs.primary, &k, &value);
        if (rc != MDB_NOTFOUND) check(rc, "get successor");
      }
      ++next_get;
      continue;
    }
    const Record& rec = dump.records[event];
    MDB_val k = val(&rec.id, 8);
    check(mdb_get(write_txn, dbs.primary, &k, &value), "get record");
    MDB_val rewritten = val(dump.rewritten.data() + rec.rewritten_offset, rec.rewritten_length);
    check(mdb_put(write_txn, dbs.primary, &k, &rewritten, 0), "put primary");
    MDB_val type = val(dump.type_names[rec.type]);
    MDB_val all = all_types;
    MDB_val entry = val(rec.subtree_entry, 16);
    check(mdb_put(write_txn, dbs.types_subtree_size_index, &type, &entry, 0), "put subtree index");
    check(mdb_put(write_txn, dbs.types_subtree_size_index, &all, &entry, 0), "put subtree index");
  }
  mdb_cursor_close(roots);
  mdb_txn_abort(read_txn);
  check(mdb_txn_commit(write_txn), "commit");
}

// One level of the traversal's depth-first path in the module's pass.
template <class Estimator>
size_t frame_bytes() {
  return sizeof(vossick::tarjan::CallStackFrame<
                vossick::StronglyConnectedComponentsVisitor<Estimator, vossick::SubtreeSizeWriter>>);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: storage_floor DUMP.jsonl EMPTY_DIR\n");
    return 2;
  }
  Dump dump = load(argv[1]);
  // Exact estimates in the rewritten records, unless the exact trees of a
  // very large dump would crowd the machine; Low's differ in a few digits.
  const bool exact_plan = dump.records.size() <= 3'000'000;
  if (exact_plan) {
    plan_pass<vossick::SummedRadixTree>(dump);
  } else {
    plan_pass<vossick::SizeSketch<7>>(dump);
  }
  std::printf("planned_with %s\n", exact_plan ? "Exact" : "Low");

  auto env = vossick::Environment::open(argv[2]);
  if (!env.ok()) die(std::string(env.error().text()));
  auto dbs = vossick::Databases::create(*env.value());
  if (!dbs.ok()) die(std::string(dbs.error().text()));
  MDB_env* raw = env.value()->raw();
  // The module runs its import and each pass in separate calls; reopening
  // before the pass keeps LMDB's cache of freed page buffers from hiding the
  // pass's own dirty pages.
  const auto reopen = [&] {
    env.value().reset();
    env = vossick::Environment::open(argv[2]);
    if (!env.ok()) die(std::string(env.error().text()));
    dbs = vossick::Databases::create(*env.value());
    if (!dbs.ok()) die(std::string(dbs.error().text()));
    raw = env.value()->raw();
  };

  std::printf("records %zu\nreferences %zu\nsccs %llu\ntarjan_stack_max %llu\n", dump.records.size(),
              dump.references.size(), static_cast<unsigned long long>(dump.scc_count),
              static_cast<unsigned long long>(dump.tarjan_stack_max));
  std::printf("frame_bytes_low %zu\nframe_bytes_medium %zu\nframe_bytes_high %zu\nframe_bytes_exact %zu\n",
              frame_bytes<vossick::SizeSketch<7>>(), frame_bytes<vossick::SizeSketch<31>>(),
              frame_bytes<vossick::SizeSketch<127>>(), frame_bytes<vossick::SummedRadixTree>());
  RssGrowthSampler import_rss;
  const Timing import_time = timed([&] { run_import(raw, dbs.value(), dump); });
  std::printf("import_seconds %.3f\nimport_cpu_seconds %.3f\nimport_rss_anon_growth_mib %.1f\n", import_time.wall,
              import_time.cpu, import_rss.stop_mib());
  RssGrowthSampler summaries_rss;
  const Timing summaries_time = timed([&] { run_summaries(raw, dbs.value()); });
  std::printf("summaries_seconds %.3f\nsummaries_cpu_seconds %.3f\nsummaries_rss_anon_growth_mib %.1f\n",
              summaries_time.wall, summaries_time.cpu, summaries_rss.stop_mib());
  std::printf("import_data_mib %.1f\n", data_file_mib(argv[2]));

  // The same puts sorted beforehand (not timed) and appended, in an
  // environment of their own.
  {
    const std::string dir = std::string(argv[2]) + "/append";
    if (::mkdir(dir.c_str(), 0700) != 0) die("cannot create " + dir);
    auto append_env = vossick::Environment::open(dir);
    if (!append_env.ok()) die(std::string(append_env.error().text()));
    auto append_dbs = vossick::Databases::create(*append_env.value());
    if (!append_dbs.ok()) die(std::string(append_dbs.error().text()));
    MDB_env* append_raw = append_env.value()->raw();
    const std::vector<Put> puts = sorted_import_puts(append_raw, append_dbs.value(), dump);
    RssGrowthSampler append_rss;
    const Timing append_time = timed([&] { run_append_import(append_raw, puts); });
    const double append_rss_mib = append_rss.stop_mib();
    const Timing append_summaries = timed([&] { run_summaries(append_raw, append_dbs.value()); });
    std::printf("append_seconds %.3f\nappend_cpu_seconds %.3f\nappend_rss_anon_growth_mib %.1f\n",
                append_time.wall, append_time.cpu, append_rss_mib);
    std::printf("append_summaries_seconds %.3f\nappend_summaries_cpu_seconds %.3f\nappend_data_mib %.1f\n",
                append_summaries.wall, append_summaries.cpu, data_file_mib(dir));
  }

  reopen();
  RssGrowthSampler pass_rss;
  const Timing pass_time = timed([&] { run_pass(raw, dbs.value(), dump); });
  std::printf("pass_seconds %.3f\npass_cpu_seconds %.3f\npass_rss_anon_growth_mib %.1f\n", pass_time.wall,
              pass_time.cpu, pass_rss.stop_mib());
  return 0;
}
