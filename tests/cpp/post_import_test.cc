#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heap_dump_explorer/import.h"
#include "heap_dump_explorer/post_import.h"
#include "heap_dump_explorer/primary.h"
#include "heap_dump_explorer/queries.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::TempDir;
using testing::value_or_die;

class PostImportTest : public ::testing::Test {
 protected:
  void SetUp() override { explorer_.emplace(value_or_die(Explorer::open(dir_.path()))); }

  Status import(const std::vector<std::string>& lines, EstimatorPrecision precision) {
    VOSSICK_ASSIGN_OR_RETURN(ImportSession session, ImportSession::begin(*explorer_));
    for (const auto& line : lines) VOSSICK_TRY(session.add_line(line));
    VOSSICK_TRY(session.commit());
    return run_post_import_processing(*explorer_, precision);
  }

  std::optional<uint64_t> subtree_size(uint64_t id) {
    Transaction txn = value_or_die(Transaction::begin_read(explorer_->env()));
    return value_or_die(get_summary(txn, explorer_->dbs(), id)).subtree_size;
  }

  std::string stored(uint64_t id) {
    Transaction txn = value_or_die(Transaction::begin_read(explorer_->env()));
    EncodedId key = encode_id(id);
    auto value = value_or_die(get_value(txn, explorer_->dbs().primary,
                                        std::string_view(reinterpret_cast<const char*>(key.bytes), 8)));
    return value ? std::string(*value) : std::string();
  }

  TempDir dir_;
  std::optional<Explorer> explorer_;
};

TEST_F(PostImportTest, ImportStoresCanonicalRecordsAndIndexes) {
  ASSERT_OK(import({R"( {"size":232,"extra":{"a":[1,2]},"references":[3,3,9],"type":"builtins.dict","id":7} )"},
                   EstimatorPrecision::kNoEstimates));
  EXPECT_EQ(stored(7),
            R"({"id":7,"type":"builtins.dict","references":[3,3,9],"value":null,"size":232,"subtree_size":null})");
  auto rows = value_or_die(get_type_summaries(*explorer_));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].first.all_types);
  EXPECT_EQ(rows[1].first.name, "builtins.dict");
  EXPECT_EQ(rows[1].second, (TypeSummary{1, 232}));
}

TEST_F(PostImportTest, AFailedLineLeavesNothingOfTheSession) {
  ASSERT_OK(import({R"({"id":1,"type":"T","references":[],"size":1})"}, EstimatorPrecision::kNoEstimates));
  Status failed = import({R"({"id":2,"type":"T","references":[1],"size":2})", R"({"id":3,"type":"T"})"},
                         EstimatorPrecision::kNoEstimates);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), ErrorKind::kParse);
  EXPECT_EQ(stored(2), "");
  EXPECT_EQ(value_or_die(get_count_for_type(*explorer_, Type::all())), 1u);
  auto record = value_or_die(get_object(*explorer_, 1));
  ASSERT_TRUE(record.has_value());
  EXPECT_TRUE(record->referrers.empty());
}

struct ExactCase {
  std::string name;
  std::vector<std::string> lines;
  std::vector<std::pair<uint64_t, uint64_t>> expected;
};

class ExactSizesTest : public PostImportTest, public ::testing::WithParamInterface<ExactCase> {};

TEST_P(ExactSizesTest, MatchesHandComputedSizes) {
  ASSERT_OK(import(GetParam().lines, EstimatorPrecision::kExact));
  for (auto [id, size] : GetParam().expected) EXPECT_EQ(subtree_size(id), size) << "id " << id;
}

std::string rec(uint64_t id, const std::string& refs, uint64_t size, const std::string& type = "T") {
  return R"({"id":)" + std::to_string(id) + R"(,"type":")" + type + R"(","references":[)" + refs +
         R"(],"size":)" + std::to_string(size) + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, ExactSizesTest,
    ::testing::Values(
        ExactCase{"cycle_below_a_root", {rec(1, "2", 5), rec(2, "3", 7), rec(3, "2", 11)}, {{1, 23}, {2, 18}, {3, 18}}},
        ExactCase{"self_and_repeated_refs", {rec(1, "1,2,2", 5), rec(2, "", 7)}, {{1, 12}, {2, 7}}},
        ExactCase{"dangling_refs_ignored", {rec(1, "99,98", 5)}, {{1, 5}}},
        ExactCase{"module_not_entered", {rec(1, "2", 5), rec(2, "3", 50, "builtins.module"), rec(3, "", 500)},
                  {{1, 5}, {2, 550}, {3, 500}}},
        ExactCase{"sizes_wrap", {rec(1, "2", 18446744073709551615ULL), rec(2, "", 2)}, {{1, 1}, {2, 2}}},
        ExactCase{"zero_sizes", {rec(1, "2", 0), rec(2, "", 0)}, {{1, 0}, {2, 0}}}),
    [](const auto& info) { return info.param.name; });

TEST_F(PostImportTest, EveryObjectIsIndexedOncePerPassUnderItsTypeAndAllTypes) {
  ASSERT_OK(import({rec(1, "2", 5), rec(2, "1", 7, "U"), rec(3, "", 1)}, EstimatorPrecision::kExact));
  auto all = value_or_die(get_objects_by_type_ordered_by_size(*explorer_, Type::all(), true, std::nullopt));
  std::vector<uint64_t> ids;
  for (const auto& s : all) ids.push_back(s.id);
  EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2, 3}));
  auto of_u = value_or_die(get_objects_by_type_ordered_by_size(*explorer_, Type::named("U"), true, std::nullopt));
  ASSERT_EQ(of_u.size(), 1u);
  EXPECT_EQ(of_u[0].subtree_size, 12u);
}

TEST_F(PostImportTest, MissingRecordAtEmitTimeIsReportedAndNothingPersists) {
  ASSERT_OK(import({rec(1, "2", 5), rec(2, "", 7)}, EstimatorPrecision::kNoEstimates));
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

TEST_F(PostImportTest, UndecodableStoredRecordFailsThePass) {
  ASSERT_OK(import({rec(1, "", 5)}, EstimatorPrecision::kExact));
  {
    Transaction txn = value_or_die(Transaction::begin_write(explorer_->env()));
    EncodedId key = encode_id(2);
    ASSERT_OK(put_value(txn, explorer_->dbs().primary, std::string_view(reinterpret_cast<const char*>(key.bytes), 8),
                        R"({"id":2,"type":"T","references":"x","size":1})"));
    ASSERT_OK(txn.commit());
  }
  Status status = run_post_import_processing(*explorer_, EstimatorPrecision::kLow);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), ErrorKind::kDecoding);
  EXPECT_EQ(status.error().text().rfind("error while decoding: invalid type: ", 0), 0u) << status.error().text();
  EXPECT_EQ(subtree_size(1), 5u);  // the earlier pass's result stays
}

}  // namespace
}  // namespace vossick
