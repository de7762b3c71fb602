// The post-import pass at the core level: exact subtree sizes on hand-worked
// graphs and a record that vanishes under the pass. Canonical storage, failed
// imports and index entries are pinned through the module's tests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heap_dump_explorer/post_import.h"
#include "heap_dump_explorer/primary.h"
#include "heap_dump_explorer/queries.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::import_lines;
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
        ExactCase{"cycle_below_a_root", {record_line(1, {2}, 5), record_line(2, {3}, 7), record_line(3, {2}, 11)},
                  {{1, 23}, {2, 18}, {3, 18}}},
        ExactCase{"diamond_counts_the_shared_object_once",
                  {record_line(1, {2, 3}, 1), record_line(2, {4}, 10), record_line(3, {4}, 100),
                   record_line(4, {}, 1000)},
                  {{1, 1111}, {2, 1010}, {3, 1100}, {4, 1000}}},
        ExactCase{"self_repeated_and_dangling_refs", {record_line(1, {1, 2, 2, 99}, 5), record_line(2, {98}, 7)},
                  {{1, 12}, {2, 7}}},
        ExactCase{"module_not_entered",
                  {record_line(1, {2}, 5), record_line(2, {3}, 50, "builtins.module"), record_line(3, {}, 500)},
                  {{1, 5}, {2, 550}, {3, 500}}},
        ExactCase{"sizes_wrap", {record_line(1, {2}, UINT64_MAX), record_line(2, {}, 2)}, {{1, 1}, {2, 2}}},
        ExactCase{"zero_sizes", {record_line(1, {2}, 0), record_line(2, {}, 0)}, {{1, 0}, {2, 0}}}),
    [](const auto& info) { return info.param.name; });

TEST_F(PostImportTest, MissingRecordAtEmitTimeIsReportedAndNothingPersists) {
  ASSERT_OK(import_lines(*explorer_, {record_line(1, {2}, 5), record_line(2, {}, 7)},
                         EstimatorPrecision::kNoEstimates));
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

}  // namespace
}  // namespace vossick
