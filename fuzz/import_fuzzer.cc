// Fuzzes import and the exact subtree-size run with small random dumps.
//
// The input bytes describe up to a dozen records (ids from a small pool that
// includes 0, 256 and 2^64-1, repeated ids, mostly with their earlier record
// but now and then with another, which fails the call that brings it and
// leaves nothing of that call behind; dangling and self references,
// module objects, sizes that make sums wrap), imported in two calls: the
// first with any precision, the second with Exact. Checks against a plain
// set-based model:
//  - every stored record is the one imported for its id, and its
//    subtree_size the wrapped sum of the sizes reachable from the object
//    (references to absent ids ignored, modules not entered);
//  - the consistency check finds every index and summary in agreement;
//  - an import that fails on its last line leaves every database as it was.
//
// One environment serves the whole run; each input starts by emptying it.
// The import and the databases' contents are the C++ tests' (store_helpers.h).
#include <lmdb.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/cpp/store_helpers.h"
#include "check/consistency_check.h"
#include "import/import_session.h"
#include "records/record_writer.h"
#include "storage/primary.h"
#include "subtree_sizes/post_import.h"

namespace {

using namespace vossick;
using namespace vossick::testing;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "import_fuzzer: %s\n", what.c_str());
  std::abort();
}

void must(Status&& status, const char* what) {
  if (!status.ok()) fail(std::string(what) + ": " + status.error().text());
}

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool empty() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr uint64_t kIdPool[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 255, 256, 257, 65536, UINT64_MAX};
constexpr std::string_view kTypes[] = {"T", "U", "builtins.module", "All Types", "builtins.dict\xc3\xa9"};

const Explorer& shared_explorer() {
  static Explorer* explorer = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/vossick-import-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    static std::string dir = pattern;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    return new Explorer(value_or_die(Explorer::open(dir)));
  }();
  return *explorer;
}

void empty_all(const Explorer& explorer) {
  Transaction txn = value_or_die(Transaction::begin_write(explorer.env()));
  const Databases& d = explorer.dbs();
  for (MDB_dbi dbi :
       {d.primary, d.referrers, d.types, d.types_size_index, d.types_subtree_size_index, d.type_summaries}) {
    if (int rc = mdb_drop(txn.raw(), dbi, 0); rc != 0) fail("mdb_drop");
  }
  must(txn.commit(), "commit");
}

uint64_t model_subtree_size(const std::map<uint64_t, RawObjectRecord>& records, uint64_t root) {
  std::set<uint64_t> reached{root};
  std::vector<uint64_t> pending{root};
  uint64_t total = 0;
  while (!pending.empty()) {
    const RawObjectRecord& record = records.at(pending.back());
    pending.pop_back();
    total += record.size;  // wraps, as stored sums do
    for (uint64_t reference : record.references) {
      auto it = records.find(reference);
      if (it == records.end() || it->second.type == "builtins.module") continue;
      if (reached.insert(reference).second) pending.push_back(reference);
    }
  }
  return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  const Explorer& explorer = shared_explorer();
  empty_all(explorer);

  std::vector<RawObjectRecord> lines;
  const size_t count = 1 + in.next() % 12;
  for (size_t i = 0; i < count && !in.empty(); ++i) {
    RawObjectRecord record;
    record.id = kIdPool[in.next() % std::size(kIdPool)];
    record.type = kTypes[in.next() % std::size(kTypes)];
    const uint8_t size_byte = in.next();
    record.size = size_byte >= 250 ? UINT64_MAX - size_byte : size_byte;
    for (size_t n = in.next() % 6; n > 0; --n) record.references.push_back(kIdPool[in.next() % std::size(kIdPool)]);
    const auto earlier =
        std::find_if(lines.begin(), lines.end(), [&](const RawObjectRecord& r) { return r.id == record.id; });
    if (earlier != lines.end() && in.next() % 4 != 0) record = *earlier;
    lines.push_back(std::move(record));
  }
  const size_t split = lines.empty() ? 0 : in.next() % (lines.size() + 1);
  const auto first_precision = static_cast<EstimatorPrecision>(in.next() % 5);

  std::map<uint64_t, RawObjectRecord> records;  // what `primary` holds: the record of each id
  const auto import_call = [&](size_t from, size_t to, EstimatorPrecision precision) {
    std::vector<std::string> call;
    std::map<uint64_t, RawObjectRecord> after = records;
    bool conflict = false;
    for (size_t i = from; i < to; ++i) {
      write_record(lines[i], call.emplace_back());
      conflict = conflict || !(after.try_emplace(lines[i].id, lines[i]).first->second == lines[i]);
    }
    Status status = import_lines(explorer, call, precision);
    if (status.ok() == conflict) {
      fail("conflict " + std::to_string(conflict) + ", import: " + (status.ok() ? "ok" : status.error().text()));
    }
    if (!conflict) records = std::move(after);
    return call;
  };
  const std::vector<std::string> first_call = import_call(0, split, first_precision);
  import_call(split, lines.size(), EstimatorPrecision::kExact);
  // Exact estimates for whatever landed, also when the second call did not.
  must(import_lines(explorer, {}, EstimatorPrecision::kExact), "estimating import");

  {
    Transaction txn = value_or_die(Transaction::begin_read(explorer.env()));
    for (const auto& [id, model] : records) {
      auto stored = value_or_die(get_record<RawObjectRecord>(txn, explorer.dbs(), id));
      if (!stored) fail("record missing: " + std::to_string(id));
      const uint64_t expected = model_subtree_size(records, id);
      if (stored->subtree_size != expected) {
        fail("subtree size of " + std::to_string(id) + ": stored " +
             (stored->subtree_size ? std::to_string(*stored->subtree_size) : "null") + ", model " +
             std::to_string(expected));
      }
      if (stored->type != model.type || stored->references != model.references || stored->size != model.size) {
        fail("stored record differs from the last imported one: " + std::to_string(id));
      }
    }
  }
  // Every index and summary agrees with the records.
  const ConsistencyReport report = value_or_die(check_consistency(explorer));
  if (!report.consistent()) fail("inconsistent after the imports: " + report.problems.front());

  // An import whose last line is broken leaves nothing behind.
  const Contents before = raw_contents(explorer);
  std::vector<std::string> broken = first_call;
  broken.push_back(R"({"id":1,"type":"T","references":[2],"size":)");
  if (import_lines(explorer, broken, EstimatorPrecision::kExact).ok()) fail("broken import succeeded");
  if (raw_contents(explorer) != before) fail("failed import changed the databases");
  return 0;
}
