#include "queries/graph_queries.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace vossick {
namespace {

using internal::heap_pop;
using internal::heap_push;
using internal::QueueItem;
using testing::TempDir;
using testing::value_or_die;

// ---- heap procedures ----------------------------------------------------------

struct Keyed {
  uint64_t id;
  uint64_t key;
};

QueueItem item(Keyed k) { return QueueItem{{}, k.id, k.key, 0}; }

std::vector<uint64_t> ids_of(const std::vector<QueueItem>& heap) {
  std::vector<uint64_t> ids;
  for (const QueueItem& i : heap) ids.push_back(i.id);
  return ids;
}

std::vector<uint64_t> drain(std::vector<QueueItem>& heap) {
  std::vector<uint64_t> order;
  while (std::optional<QueueItem> top = heap_pop(heap)) order.push_back(top->id);
  return order;
}

struct PushPopCase {
  const char* name;
  std::vector<Keyed> pushes;
  std::vector<uint64_t> array_after_pushes;
  std::vector<uint64_t> pop_order;
};

class HeapOrderTest : public ::testing::TestWithParam<PushPopCase> {};

// Orders worked out by hand from the push and pop procedures. Random keys are
// covered by the module's comparison of the common-object search with a model.
TEST_P(HeapOrderTest, PopsInTheOrderTheProceduresFix) {
  const PushPopCase& c = GetParam();
  std::vector<QueueItem> heap;
  for (Keyed k : c.pushes) heap_push(heap, item(k));
  EXPECT_EQ(ids_of(heap), c.array_after_pushes);
  EXPECT_EQ(drain(heap), c.pop_order);
}

INSTANTIATE_TEST_SUITE_P(
    Ties, HeapOrderTest,
    ::testing::Values(
        PushPopCase{"ThreeEqual", {{1, 5}, {2, 5}, {3, 5}}, {1, 2, 3}, {1, 2, 3}},
        // Equal children: the walk down takes the right one.
        PushPopCase{"FourEqual", {{1, 5}, {2, 5}, {3, 5}, {4, 5}}, {1, 2, 3, 4}, {1, 3, 2, 4}},
        PushPopCase{"FiveEqual", {{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}}, {1, 2, 3, 4, 5}, {1, 3, 5, 2, 4}},
        // A push only climbs past a strictly smaller parent.
        PushPopCase{"Mixed", {{1, 10}, {2, 3}, {3, 7}, {4, 3}, {5, 9}}, {1, 5, 3, 4, 2}, {1, 5, 3, 4, 2}},
        PushPopCase{"EqualToRootStaysBelow", {{1, 4}, {2, 4}}, {1, 2}, {1, 2}},
        PushPopCase{"LargerLaterClimbsToRoot", {{1, 1}, {2, 2}, {3, 3}}, {3, 1, 2}, {3, 2, 1}},
        // Keys compare unsigned.
        PushPopCase{"ExtremeKeys", {{1, 5}, {2, UINT64_MAX}, {3, UINT64_MAX - 1}, {4, 0}}, {2, 1, 3, 4}, {2, 3, 1, 4}}),
    [](const ::testing::TestParamInfo<PushPopCase>& info) { return std::string(info.param.name); });

TEST(HeapPopTest, LastElementSiftsBackUpFromTheBottomAndItemsKeepTheirFields) {
  // a10 / b9 c8 / d1 e1 f7 g6: g walks down the b side to e's slot, then
  // climbs one level above e, which had shifted up in its place.
  std::vector<QueueItem> heap;
  for (Keyed k : std::vector<Keyed>{{1, 10}, {2, 9}, {3, 8}, {4, 1}, {5, 1}, {6, 7}, {7, 6}}) heap.push_back(item(k));
  heap[0] = QueueItem{{7, 8}, 1, 10, 1};
  std::optional<QueueItem> top = heap_pop(heap);
  ASSERT_TRUE(top);
  EXPECT_EQ((std::tuple{top->id, top->origin, top->references}), (std::tuple{1u, 1, std::vector<uint64_t>{7, 8}}));
  EXPECT_EQ(ids_of(heap), (std::vector<uint64_t>{2, 7, 3, 4, 5, 6}));
  heap.clear();
  EXPECT_FALSE(heap_pop(heap));
}

// ---- stores ---------------------------------------------------------------------

std::string line(uint64_t id, std::vector<uint64_t> references, uint64_t size = 16) {
  return testing::record_line(id, references, size);
}

// An explorer over `lines`, imported and processed.
class Store {
 public:
  Store(const std::vector<std::string>& lines, EstimatorPrecision precision)
      : explorer_(value_or_die(Explorer::open(dir_.path()))) {
    Status imported = testing::import_lines(explorer_, lines, precision);
    EXPECT_TRUE(imported.ok()) << imported.error().text();
  }
  const Explorer& explorer() const { return explorer_; }

 private:
  TempDir dir_;
  Explorer explorer_;
};

constexpr EstimatorPrecision kNone = EstimatorPrecision::kNoEstimates;
constexpr EstimatorPrecision kExact = EstimatorPrecision::kExact;

// Outcome of a search in one comparable form: ids of the path, "none", or
// the error text. Query errors are message errors, never decoding errors.
template <class Found>
std::string outcome(const Result<std::optional<Found>>& result) {
  if (!result.ok()) {
    EXPECT_EQ(result.error().kind(), ErrorKind::kMessage) << result.error().text();
    return result.error().text();
  }
  if (!result.value()) return "none";
  if constexpr (std::is_same_v<Found, uint64_t>) {
    return std::to_string(*result.value());
  } else {
    std::string ids;
    for (const ObjectSummary& s : *result.value()) ids += (ids.empty() ? "" : " ") + std::to_string(s.id);
    return ids;
  }
}

// ---- searches (the full case tables run through the module's tests) ----------------------

TEST(GraphQueriesTest, ErrorsAreMessagesWithTheQueriesText) {
  Store store({line(1, {7, 2}), line(2, {}), line(3, {})}, kNone);
  const Explorer& e = store.explorer();
  EXPECT_EQ(outcome(find_path_between_objects(e, 8, 9, {})), "Start ID 8 not found in database");
  EXPECT_EQ(outcome(find_path_between_objects(e, 1, 9, {})), "End ID 9 not found in database");
  EXPECT_EQ(outcome(find_path_between_objects(e, 1, 2, {})), "Decoding error: Missing record for ID 7");
  EXPECT_EQ(outcome(find_path_between_objects(e, 1, 2, {7})), "1 2");
  EXPECT_EQ(outcome(find_largest_common_reachable_object(e, 8, 9)), "Object ID 8 not found in database");
  EXPECT_EQ(outcome(find_largest_common_reachable_object(e, 2, 3)), "No subtree size in 2");
}

TEST(PathSearchStatsTest, SizeTestKeepsSmallSubtreesUnread) {
  // The start fans out to 50 chains of 20 small objects and to a chain of 25
  // that ends in a large object; with sizes only the fan-out itself is read.
  std::vector<std::string> lines;
  std::vector<uint64_t> start_refs;
  uint64_t next = 1000;
  for (int branch = 0; branch < 50; ++branch) {
    start_refs.push_back(next);
    for (int k = 0; k < 20; ++k, ++next) {
      lines.push_back(line(next, k < 19 ? std::vector<uint64_t>{next + 1} : std::vector<uint64_t>{}, 1));
    }
  }
  start_refs.push_back(2);
  lines.push_back(line(1, start_refs, 1));
  for (uint64_t id = 2; id < 26; ++id) lines.push_back(line(id, {id + 1}, 1));
  lines.push_back(line(26, {}, 10000));
  std::string expected = "1";
  for (int id = 2; id <= 26; ++id) expected.append(" ").append(std::to_string(id));

  for (EstimatorPrecision precision : {kNone, kExact}) {
    Store store(lines, precision);
    SearchStats stats;
    auto path = find_path_between_objects(store.explorer(), 1, 26, {}, &stats);
    EXPECT_EQ(outcome(path), expected);
    if (precision == kExact) {
      EXPECT_EQ(stats.records_read, 2u + 51u + 24u);  // start, end, the fan-out, the path
    } else {
      EXPECT_GT(stats.records_read, 1000u);  // every chain is walked
    }
  }
}

}  // namespace
}  // namespace vossick
