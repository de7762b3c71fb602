// Work that is asked to stop (the summary rebuild before an import's commit,
// the post-import pass) ends with Error::interrupted() and leaves the
// databases as they were, wherever it stops. And the summaries an import
// commits, against a plain per-type model.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "queries/object_lookup.h"
#include "queries/type_listings.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::raw_contents;
using testing::record_line;
using testing::value_or_die;

// Says stop from its (asks + 1)-th question on.
class StopAfter final : public StopCheck {
 public:
  explicit StopAfter(int asks) : left_(asks) {}
  bool stop_requested() override { return left_-- <= 0; }

 private:
  int left_;
};

TEST(StopTest, AnImportCommitOrAPassStoppedAnywhereLeavesNothing) {
  testing::TempDir dir;
  Explorer explorer = value_or_die(Explorer::open(dir.path()));
  std::vector<std::string> chain;
  for (uint64_t i = 0; i < 30000; ++i) chain.push_back(record_line(i, {i + 1}, 8, i % 2 ? "A" : "B"));
  ASSERT_OK(testing::import_lines(explorer, chain, EstimatorPrecision::kNoEstimates));
  for (bool pass : {false, true}) {
    const auto before = raw_contents(explorer);
    int asks = 0;
    for (Status status = Error::interrupted(); !status.ok(); ++asks) {
      ASSERT_EQ(status.error().kind(), ErrorKind::kInterrupted) << status.error().text();
      ASSERT_TRUE(raw_contents(explorer) == before) << "asks " << asks;
      StopAfter stop(asks);
      if (pass) {
        status = run_post_import_processing(explorer, EstimatorPrecision::kExact, TypeSummaries::kRebuild, stop);
      } else {
        ImportSession session = value_or_die(ImportSession::begin(explorer));
        status = session.add_line(record_line(1u << 30, {}, 1));
        if (status.ok()) status = session.commit(stop);
      }
    }
    EXPECT_GE(asks, pass ? 8 : 3);  // asked all along, not only at the start
  }
}

// Types of one object (a key without pages of entries) and of thousands
// (many pages), sizes that wrap, earlier imports' objects.
TEST(TypeSummariesTest, TheCommitCountsAndSumsWhatIsStoredPerType) {
  testing::TempDir dir;
  Explorer explorer = value_or_die(Explorer::open(dir.path()));
  std::map<std::string, TypeSummary> model, stored;
  std::mt19937_64 random(5);
  uint64_t id = 0;
  for (uint64_t count : {1, 2000, 4000}) {
    ImportSession session = value_or_die(ImportSession::begin(explorer));
    for (const uint64_t end = id + count; id < end; ++id) {
      const std::string type = id % 100 == 7 ? "single" + std::to_string(id) : "many" + std::to_string(id % 3);
      const uint64_t size = random() % 10 == 0 ? UINT64_MAX - random() % 9 : random() % 1000;
      ASSERT_OK(session.add_line(record_line(id, {}, size, type)));
      for (const std::string& key : {type, std::string("All Types")}) {
        model[key] = TypeSummary{model[key].count + 1, model[key].total_size + size};
      }
    }
    ASSERT_OK(session.commit());
    for (const auto& [key, summary] : value_or_die(get_type_summaries(explorer))) {
      stored[std::string(key.encoded())] = summary;
    }
    EXPECT_EQ(stored, model);
  }
}

}  // namespace
}  // namespace vossick
