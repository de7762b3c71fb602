// The path search's size test keeping small subtrees unread. (Both searches,
// their errors and the heap that settles ties are compared with a model on
// random graphs in the module's tests.)

#include "queries/graph_queries.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace vossick {
namespace {

// The start fans out to 50 chains of 20 small objects and to a chain of 25
// that ends in a large object; with sizes only the fan-out itself is read.
TEST(PathSearchTest, SizeTestKeepsSmallSubtreesUnread) {
  std::vector<std::string> lines;
  std::vector<uint64_t> start_refs;
  for (uint64_t next = 1000; next < 2000; ++next) {
    if (next % 20 == 0) start_refs.push_back(next);
    lines.push_back(
        testing::record_line(next, next % 20 != 19 ? std::vector<uint64_t>{next + 1} : std::vector<uint64_t>{}, 1));
  }
  start_refs.push_back(2);
  lines.push_back(testing::record_line(1, start_refs, 1));
  for (uint64_t id = 2; id < 26; ++id) lines.push_back(testing::record_line(id, {id + 1}, 1));
  lines.push_back(testing::record_line(26, {}, 10000));
  for (EstimatorPrecision precision : {EstimatorPrecision::kNoEstimates, EstimatorPrecision::kExact}) {
    testing::TempExplorer explorer;
    ASSERT_OK(testing::import_lines(*explorer, lines, precision));
    SearchStats stats;
    auto path = testing::value_or_die(find_path_between_objects(*explorer, 1, 26, {}, never_stop(), &stats));
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->size(), 26u);
    if (precision == EstimatorPrecision::kExact) {
      EXPECT_EQ(stats.records_read, 2u + 51u + 24u);  // start, end, the fan-out, the path
    } else {
      EXPECT_GT(stats.records_read, 1000u);  // every chain is walked
    }
  }
}

}  // namespace
}  // namespace vossick
