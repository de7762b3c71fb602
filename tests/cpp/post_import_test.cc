// The post-import pass at the core level: exact subtree sizes on hand-worked
// graphs, a record that vanishes under the pass, and writes in key-ordered
// batches against writes in emit order. Canonical storage, failed
// imports and index entries are pinned through the module's tests.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "queries/object_lookup.h"
#include "queries/type_listings.h"
#include "records/canonical_record.h"
#include "storage/primary.h"
#include "subtree_sizes/post_import.h"
#include "subtree_sizes/scc_size_visitor.h"
#include "subtree_sizes/size_sketch/size_sketch.h"
#include "subtree_sizes/subtree_size_writer.h"
#include "subtree_sizes/summed_radix_tree/summed_radix_tree.h"
#include "subtree_sizes/tarjan/tarjan.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::import_lines;
using testing::raw_contents;
using testing::record_line;
using testing::TempDir;
using testing::value_or_die;

class PostImportTest : public ::testing::Test {
 protected:
  void SetUp() override { explorer_.emplace(value_or_die(Explorer::open(dir_.path()))); }

  std::optional<uint64_t> subtree_size(uint64_t id) {
    Transaction txn = value_or_die(Transaction::begin_read(explorer_->env()));
    return value_or_die(get_summary(txn, explorer_->dbs(), id)).subtree_size;
  }

  TempDir dir_;
  std::optional<Explorer> explorer_;
};

struct ExactCase {
  std::string name;
  std::vector<std::string> lines;
  std::vector<std::pair<uint64_t, uint64_t>> expected;
};

class ExactSizesTest : public PostImportTest, public ::testing::WithParamInterface<ExactCase> {};

TEST_P(ExactSizesTest, MatchesHandComputedSizes) {
  ASSERT_OK(import_lines(*explorer_, GetParam().lines, EstimatorPrecision::kExact));
  for (auto [id, size] : GetParam().expected) EXPECT_EQ(subtree_size(id), size) << "id " << id;
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, ExactSizesTest,
    ::testing::Values(
        ExactCase{"cycle_below_a_root",
                  {record_line(1, {2}, 5), record_line(2, {3}, 7), record_line(3, {2}, 11)},
                  {{1, 23}, {2, 18}, {3, 18}}},
        ExactCase{
            "diamond_counts_the_shared_object_once",
            {record_line(1, {2, 3}, 1), record_line(2, {4}, 10), record_line(3, {4}, 100), record_line(4, {}, 1000)},
            {{1, 1111}, {2, 1010}, {3, 1100}, {4, 1000}}},
        ExactCase{"self_repeated_and_dangling_refs",
                  {record_line(1, {1, 2, 2, 99}, 5), record_line(2, {98}, 7)},
                  {{1, 12}, {2, 7}}},
        ExactCase{"module_not_entered",
                  {record_line(1, {2}, 5), record_line(2, {3}, 50, "builtins.module"), record_line(3, {}, 500)},
                  {{1, 5}, {2, 550}, {3, 500}}},
        ExactCase{"sizes_wrap", {record_line(1, {2}, UINT64_MAX), record_line(2, {}, 2)}, {{1, 1}, {2, 2}}},
        ExactCase{"zero_sizes", {record_line(1, {2}, 0), record_line(2, {}, 0)}, {{1, 0}, {2, 0}}}),
    [](const auto& info) { return info.param.name; });

TEST_F(PostImportTest, MissingRecordAtEmitTimeIsReportedAndNothingPersists) {
  ASSERT_OK(
      import_lines(*explorer_, {record_line(1, {2}, 5), record_line(2, {}, 7)}, EstimatorPrecision::kNoEstimates));
  Transaction write_txn = value_or_die(Transaction::begin_write(explorer_->env()));
  EncodedId key = encode_id(2);
  MDB_val k{8, key.bytes};
  ASSERT_EQ(mdb_del(write_txn.raw(), explorer_->dbs().primary, &k, nullptr), 0);
  Status status = run_subtree_size_estimation(*explorer_, write_txn, EstimatorPrecision::kExact);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().text(), "error while decoding: Missing record for node ID 2");
  write_txn.abort();
  EXPECT_EQ(subtree_size(1), std::nullopt);
}

// A random dump: cycles, shared objects, modules, repeated and dangling
// references, sizes up to 2^64 - 1.
std::vector<std::string> random_dump(uint64_t seed, size_t count) {
  std::mt19937_64 random(seed);
  std::vector<std::string> lines;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t id = 1000 + (i * 7919) % count;
    std::vector<uint64_t> references;
    const size_t fanout = random() % 5;
    for (size_t k = 0; k < fanout; ++k) {
      const uint64_t target =
          random() % 4 == 0 ? 1000 + random() % count : 1000 + (id - 1000 + 1 + random() % 3) % count;
      references.push_back(random() % 50 == 0 ? 5 : target);  // id 5 never has a record
    }
    const uint64_t size = random() % 100 == 0 ? UINT64_MAX - random() % 7 : random() % 200;
    const bool module = random() % 40 == 0;
    lines.push_back(record_line(id, references, size, module ? "builtins.module" : "builtins.object"));
  }
  return lines;
}

// The ways the pass can write; the first is the reference.
constexpr PassWrites kPassModes[] = {PassWrites::kEmitOrder, PassWrites::kKeyOrderedBatches};

// Runs the pass in `mode` over what `explorer` holds, commits on success, and
// returns the error text (empty on success) and what the databases hold.
std::pair<std::string, std::vector<std::pair<std::string, std::string>>> run_pass(Explorer& explorer,
                                                                                  EstimatorPrecision precision,
                                                                                  PassWrites mode) {
  Transaction write_txn = value_or_die(Transaction::begin_write(explorer.env()));
  Status status = run_subtree_size_estimation(explorer, write_txn, precision, mode);
  if (status.ok()) status = write_txn.commit();
  write_txn.abort();
  return {status.ok() ? "" : status.error().text(), raw_contents(explorer)};
}

class PassModesTest : public ::testing::TestWithParam<EstimatorPrecision> {};

TEST_P(PassModesTest, StoreExactlyWhatTheOneThreadPassInEmitOrderStores) {
  for (uint64_t seed : {1, 2}) {
    const std::vector<std::string> lines = random_dump(seed, 9000 + seed * 1234);
    std::vector<std::pair<std::string, std::string>> expected;
    for (PassWrites mode : kPassModes) {
      TempDir dir;
      Explorer explorer = value_or_die(Explorer::open(dir.path()));
      ASSERT_OK(import_lines(explorer, lines, EstimatorPrecision::kNoEstimates));
      auto [error, contents] = run_pass(explorer, GetParam(), mode);
      EXPECT_EQ(error, "");
      if (expected.empty()) expected = contents;
      EXPECT_GT(contents.size(), 9000u * 4);
      EXPECT_TRUE(contents == expected) << "seed " << seed << " mode " << static_cast<int>(mode);
    }
  }
}

// Batches of a few objects, each applied in key order, and batches whose
// rewritten records outgrow the memory allowed, written in emit order.
TEST_P(PassModesTest, SmallKeyOrderedBatchesStoreTheSame) {
  const std::vector<std::string> lines = random_dump(3, 3000);
  std::vector<std::pair<std::string, std::string>> results[2];
  for (auto [batch_size, max_text_bytes] :
       {std::pair<size_t, size_t>{0, 0}, {1, SIZE_MAX}, {7, SIZE_MAX}, {50, 1000}}) {
    TempDir dir;
    Explorer explorer = value_or_die(Explorer::open(dir.path()));
    ASSERT_OK(import_lines(explorer, lines, EstimatorPrecision::kNoEstimates));
    if (batch_size == 0) {
      results[0] = run_pass(explorer, GetParam(), kPassModes[0]).second;
      continue;
    }
    Transaction write_txn = value_or_die(Transaction::begin_write(explorer.env()));
    {
      Transaction read_txn = value_or_die(Transaction::begin_read(explorer.env()));
      PrimaryScan roots = value_or_die(PrimaryScan::open(read_txn, explorer.dbs()));
      KeyOrderedSubtreeSizeWriter writer(explorer.dbs(), write_txn, batch_size, max_text_bytes);
      const auto traverse = [&](auto estimator) {
        StronglyConnectedComponentsVisitor<decltype(estimator), KeyOrderedSubtreeSizeWriter> visitor(
            explorer.dbs(), read_txn, writer, std::move(roots));
        ASSERT_OK(visit_sccs(visitor));
      };
      switch (GetParam()) {
        case EstimatorPrecision::kExact: traverse(SummedRadixTree::empty()); break;
        case EstimatorPrecision::kHigh: traverse(SizeSketch<127>::empty()); break;
        default: traverse(SizeSketch<7>::empty()); break;
      }
      ASSERT_OK(writer.flush());
    }
    ASSERT_OK(write_txn.commit());
    results[1] = raw_contents(explorer);
    EXPECT_TRUE(results[1] == results[0]) << "batch size " << batch_size;
  }
}

INSTANTIATE_TEST_SUITE_P(Precisions, PassModesTest,
                         ::testing::Values(EstimatorPrecision::kLow, EstimatorPrecision::kHigh,
                                           EstimatorPrecision::kExact));

// A record missing at write time for an object emitted early, and a damaged
// record the traversal reaches only later: writing at once stops at the
// first, so held writes must report it too, however far the traversal ran
// ahead of them.
TEST_F(PostImportTest, EveryModeReportsTheErrorThatComesFirst) {
  std::vector<std::string> lines = {record_line(1, {2}, 5), record_line(2, {}, 7)};
  for (uint64_t id = 10; id < 30000; ++id) lines.push_back(record_line(id, {id + 1}, 1));
  lines.push_back(record_line(30000, {}, 1));
  ASSERT_OK(import_lines(*explorer_, lines, EstimatorPrecision::kNoEstimates));
  for (bool damaged : {false, true}) {
    if (damaged) {
      Transaction txn = value_or_die(Transaction::begin_write(explorer_->env()));
      EncodedId key = encode_id(20000);
      MDB_val k{8, key.bytes};
      std::string garbage = "not json";
      MDB_val v{garbage.size(), garbage.data()};
      ASSERT_EQ(mdb_put(txn.raw(), explorer_->dbs().primary, &k, &v, 0), 0);
      ASSERT_OK(txn.commit());
    }
    for (PassWrites mode : kPassModes) {
      Transaction write_txn = value_or_die(Transaction::begin_write(explorer_->env()));
      EncodedId key = encode_id(2);
      MDB_val k{8, key.bytes};
      ASSERT_EQ(mdb_del(write_txn.raw(), explorer_->dbs().primary, &k, nullptr), 0);
      Status status = run_subtree_size_estimation(*explorer_, write_txn, EstimatorPrecision::kHigh, mode);
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error().text(), "error while decoding: Missing record for node ID 2");
    }
  }
  // With no failing write, the damaged record's error is the one reported.
  for (PassWrites mode : kPassModes) {
    Transaction write_txn = value_or_die(Transaction::begin_write(explorer_->env()));
    Status status = run_subtree_size_estimation(*explorer_, write_txn, EstimatorPrecision::kExact, mode);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().text().rfind("error while decoding: ", 0), 0u) << status.error().text();
    EXPECT_NE(status.error().text().find("line 1 column"), std::string::npos) << status.error().text();
  }
}

// Two records missing at write time, the one emitted first with the larger
// id: writes applied in key order meet the other first.
TEST_F(PostImportTest, AKeyOrderedBatchReportsTheFailureEmittedFirst) {
  ASSERT_OK(import_lines(*explorer_, {record_line(1, {50000}), record_line(50000, {}), record_line(3, {})},
                         EstimatorPrecision::kNoEstimates));
  for (PassWrites mode : kPassModes) {
    Transaction write_txn = value_or_die(Transaction::begin_write(explorer_->env()));
    for (uint64_t id : {3, 50000}) {
      EncodedId key = encode_id(id);
      MDB_val k{8, key.bytes};
      ASSERT_EQ(mdb_del(write_txn.raw(), explorer_->dbs().primary, &k, nullptr), 0);
    }
    Status status = run_subtree_size_estimation(*explorer_, write_txn, EstimatorPrecision::kExact, mode);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().text(), "error while decoding: Missing record for node ID 50000");
  }
}

// Records damaged from outside so that they name ids other than their keys,
// in a chain (key 5 names 9, key 9 names 12, ...): object 9's rewrite lands
// under key 12, which object 12 then reads. Every mode must store the same.
TEST(PassModesDamageTest, RecordsUnderAnotherKeyStoreTheSameInEveryMode) {
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> outcomes;
  for (PassWrites mode : kPassModes) {
    TempDir dir;
    Explorer explorer = value_or_die(Explorer::open(dir.path()));
    std::vector<std::string> lines;
    for (uint64_t id = 1; id <= 40; ++id) lines.push_back(record_line(id, {id % 7 + 1, (id * 3) % 40 + 1}, id));
    ASSERT_OK(import_lines(explorer, lines, EstimatorPrecision::kNoEstimates));
    {
      Transaction txn = value_or_die(Transaction::begin_write(explorer.env()));
      for (auto [key_id, named_id] : {std::pair<uint64_t, uint64_t>{5, 9}, {9, 12}, {12, 3}, {30, 2}}) {
        EncodedId key = encode_id(key_id);
        MDB_val k{8, key.bytes};
        std::string text = record_line(named_id, {key_id % 5 + 1}, 100 + key_id);
        MDB_val v{text.size(), text.data()};
        ASSERT_EQ(mdb_put(txn.raw(), explorer.dbs().primary, &k, &v, 0), 0);
      }
      ASSERT_OK(txn.commit());
    }
    outcomes.push_back(run_pass(explorer, EstimatorPrecision::kExact, mode));
    EXPECT_EQ(outcomes.back().first, "");
    EXPECT_TRUE(outcomes.back() == outcomes.front())
        << "mode " << static_cast<int>(mode) << ": " << outcomes.back().first;
  }
}

// A valid stored value for `record` that is not its canonical form, in one
// of five ways; the pass must store the canonical form of each. (No array
// form: its length differs between the shapes that read it.)
std::string non_canonical_text(const RawObjectRecord& record, int way) {
  std::string references;
  for (size_t i = 0; i < record.references.size(); ++i) {
    references += (i ? "," : "") + std::to_string(record.references[i]);
  }
  const std::string id = std::to_string(record.id);
  const std::string size = std::to_string(record.size);
  switch (way) {
    case 0:  // whitespace, no value member
      return "{ \"id\": " + id + ", \"type\": \"" + record.type + "\", \"references\": [" + references +
             "], \"size\": " + size + " }\n";
    case 1:  // an escape in the type, an old subtree size
      return "{\"id\":" + id + ",\"type\":\"\\u0062uiltins.object\",\"references\":[" + references +
             "],\"value\":null,\"size\":" + size + ",\"subtree_size\":18446744073709551615}";
    case 2:  // an escaped surrogate pair, a trailing newline
      return "{\"id\":" + id + ",\"type\":\"" + record.type + "\",\"references\":[" + references +
             "],\"value\":\"\\ud83d\\ude00\",\"size\":" + size + ",\"subtree_size\":null}\n";
    case 3:  // members reordered, one extra
      return "{\"size\":" + size + ",\"module\":\"x\",\"references\":[" + references + "],\"type\":\"" + record.type +
             "\",\"id\":" + id + "}";
    default:  // a value with escapes write_record does not use
      return "{\"id\":" + id + ",\"type\":\"" + record.type + "\",\"references\":[" + references +
             "],\"value\":\"a\\/b\\u00e9\",\"size\":" + size + ",\"subtree_size\":0}";
  }
}

// Stored values outside the canonical form (written from outside, or by an
// older writer) beside canonical ones in the same batches: rewriting by
// splicing and rewriting by decoding must store the same.
TEST(PassModesStoredFormTest, NonCanonicalStoredRecordsStoreTheSameInEveryMode) {
  const std::vector<std::string> lines = random_dump(4, 3000);
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> outcomes;
  for (PassWrites mode : kPassModes) {
    TempDir dir;
    Explorer explorer = value_or_die(Explorer::open(dir.path()));
    ASSERT_OK(import_lines(explorer, lines, EstimatorPrecision::kNoEstimates));
    {
      Transaction txn = value_or_die(Transaction::begin_write(explorer.env()));
      int rewritten = 0;
      for (uint64_t id = 1000; id < 4000; id += 7) {
        auto record = value_or_die(get_record<RawObjectRecord>(txn, explorer.dbs(), id));
        ASSERT_TRUE(record.has_value());
        const std::string text = non_canonical_text(*record, rewritten++ % 5);
        ASSERT_FALSE(scan_canonical_record(text).has_value()) << text;
        EncodedId key = encode_id(id);
        MDB_val k{8, key.bytes};
        MDB_val v{text.size(), const_cast<char*>(text.data())};
        ASSERT_EQ(mdb_put(txn.raw(), explorer.dbs().primary, &k, &v, 0), 0);
      }
      ASSERT_OK(txn.commit());
    }
    outcomes.push_back(run_pass(explorer, EstimatorPrecision::kExact, mode));
    EXPECT_EQ(outcomes.back().first, "");
    size_t canonical = 0;
    for (const auto& [key, value] : outcomes.back().second) {
      if (key == "--") break;  // the end of `primary`
      canonical += scan_canonical_record(value).has_value() ? 1 : 0;
    }
    EXPECT_EQ(canonical, 3000u);
    EXPECT_TRUE(outcomes.back() == outcomes.front()) << "mode " << static_cast<int>(mode);
  }
}

}  // namespace
}  // namespace vossick
