// The heap procedures that settle the common-object search's ties, worked
// out by hand (random searches are compared with a model in the module's
// tests), and the path search's size test keeping small subtrees unread.

#include "queries/graph_queries.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace vossick {
namespace {

using internal::heap_pop;
using internal::heap_push;
using internal::QueueItem;

struct HeapCase {
  std::vector<std::pair<uint64_t, uint64_t>> pushes;  // id, subtree size
  std::vector<uint64_t> array_after_pushes;
  std::vector<uint64_t> pop_order;
};

TEST(HeapOrderTest, PopsInTheOrderTheProceduresFix) {
  const HeapCase cases[] = {
      // Equal children: the walk down takes the right one.
      {{{1, 5}, {2, 5}, {3, 5}, {4, 5}}, {1, 2, 3, 4}, {1, 3, 2, 4}},
      {{{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}}, {1, 2, 3, 4, 5}, {1, 3, 5, 2, 4}},
      // A push only climbs past a strictly smaller parent.
      {{{1, 10}, {2, 3}, {3, 7}, {4, 3}, {5, 9}}, {1, 5, 3, 4, 2}, {1, 5, 3, 4, 2}},
      // Keys compare unsigned.
      {{{1, 5}, {2, UINT64_MAX}, {3, UINT64_MAX - 1}, {4, 0}}, {2, 1, 3, 4}, {2, 3, 1, 4}},
      // The last element walks down to the bottom, then climbs above what
      // shifted up in its place.
      {{{1, 10}, {2, 9}, {3, 8}, {4, 1}, {5, 1}, {6, 7}, {7, 6}}, {1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 6, 7, 4, 5}}};
  for (const HeapCase& c : cases) {
    std::vector<QueueItem> heap;
    for (auto [id, size] : c.pushes) heap_push(heap, QueueItem{{id}, id, size, 0});
    std::vector<uint64_t> array, popped;
    for (const QueueItem& item : heap) array.push_back(item.id);
    EXPECT_EQ(array, c.array_after_pushes);
    while (std::optional<QueueItem> top = heap_pop(heap)) {
      EXPECT_EQ(top->references, std::vector<uint64_t>{top->id});
      popped.push_back(top->id);
    }
    EXPECT_EQ(popped, c.pop_order);
  }
}

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
    auto path = testing::value_or_die(find_path_between_objects(*explorer, 1, 26, {}, &stats));
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
