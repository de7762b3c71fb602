#include "heap_dump_explorer/graph_queries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "heap_dump_explorer/explorer.h"
#include "heap_dump_explorer/import.h"
#include "heap_dump_explorer/post_import.h"
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

// Orders worked out by hand from the push and pop procedures.
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
        PushPopCase{"LargerLaterClimbsToRoot", {{1, 1}, {2, 2}, {3, 3}}, {3, 1, 2}, {3, 2, 1}}),
    [](const ::testing::TestParamInfo<PushPopCase>& info) { return std::string(info.param.name); });

TEST(HeapPopTest, LastElementSiftsBackUpFromTheBottom) {
  // a10 / b9 c8 / d1 e1 f7 g6: g walks down the b side to e's slot, then
  // climbs one level above e, which had shifted up in its place.
  std::vector<QueueItem> heap;
  for (Keyed k : std::vector<Keyed>{{1, 10}, {2, 9}, {3, 8}, {4, 1}, {5, 1}, {6, 7}, {7, 6}}) heap.push_back(item(k));
  std::optional<QueueItem> top = heap_pop(heap);
  ASSERT_TRUE(top);
  EXPECT_EQ(top->id, 1u);
  EXPECT_EQ(ids_of(heap), (std::vector<uint64_t>{2, 7, 3, 4, 5, 6}));
}

TEST(HeapPopTest, EmptyAndSingle) {
  std::vector<QueueItem> heap;
  EXPECT_FALSE(heap_pop(heap));
  heap_push(heap, QueueItem{{7, 8}, 3, 0, 1});
  std::optional<QueueItem> top = heap_pop(heap);
  ASSERT_TRUE(top);
  EXPECT_EQ(top->id, 3u);
  EXPECT_EQ(top->origin, 1);
  EXPECT_EQ(top->references, (std::vector<uint64_t>{7, 8}));
  EXPECT_TRUE(heap.empty());
}

TEST(HeapPopTest, RandomKeysComeOutLargestFirst) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 50; ++round) {
    std::vector<QueueItem> heap;
    std::vector<uint64_t> keys;
    const int n = 1 + static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      // Few distinct keys, so ties are common; the extremes test unsigned order.
      uint64_t key = rng() % 4 == 0 ? ~uint64_t{0} - rng() % 2 : rng() % 5;
      keys.push_back(key);
      heap_push(heap, item({static_cast<uint64_t>(i), key}));
      if (rng() % 3 == 0) {
        std::optional<QueueItem> top = heap_pop(heap);
        ASSERT_TRUE(top);
        auto largest = std::max_element(keys.begin(), keys.end());
        EXPECT_EQ(top->subtree_size, *largest);
        keys.erase(largest);
      }
    }
    std::sort(keys.rbegin(), keys.rend());
    std::vector<uint64_t> popped;
    while (std::optional<QueueItem> top = heap_pop(heap)) popped.push_back(top->subtree_size);
    EXPECT_EQ(popped, keys);
  }
}

// ---- stores ---------------------------------------------------------------------

std::string line(uint64_t id, std::vector<uint64_t> references, uint64_t size = 16,
                 std::string_view type = "builtins.object", std::optional<uint64_t> subtree_size = std::nullopt) {
  std::string out = "{\"id\":" + std::to_string(id) + ",\"type\":\"" + std::string(type) + "\",\"references\":[";
  for (size_t i = 0; i < references.size(); ++i) out += (i ? "," : "") + std::to_string(references[i]);
  out += "],\"size\":" + std::to_string(size);
  if (subtree_size) out += ",\"subtree_size\":" + std::to_string(*subtree_size);
  return out + "}";
}

std::string module_line(uint64_t id, std::vector<uint64_t> references) {
  return line(id, std::move(references), 16, kModuleTypeName);
}

class Store {
 public:
  Store(const std::vector<std::string>& lines, EstimatorPrecision precision)
      : explorer_(value_or_die(Explorer::open(dir_.path()))) {
    ImportSession session = value_or_die(ImportSession::begin(explorer_));
    for (const std::string& l : lines) EXPECT_TRUE(session.add_line(l).ok()) << l;
    EXPECT_TRUE(session.commit().ok());
    Status processed = run_post_import_processing(explorer_, precision);
    EXPECT_TRUE(processed.ok()) << processed.error().text();
  }
  const Explorer& explorer() const { return explorer_; }

 private:
  TempDir dir_;
  Explorer explorer_;
};

constexpr EstimatorPrecision kNone = EstimatorPrecision::kNoEstimates;
constexpr EstimatorPrecision kExact = EstimatorPrecision::kExact;

// Outcome of a search in one comparable form: ids of the path, "none", or
// the error text.
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

// ---- path search -------------------------------------------------------------------

struct PathCase {
  const char* name;
  std::vector<std::string> lines;
  EstimatorPrecision precision;
  uint64_t start;
  uint64_t end;
  std::unordered_set<uint64_t> avoid;
  std::string expected;
};

class PathSearchTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathSearchTest, FindsTheExpectedPath) {
  const PathCase& c = GetParam();
  Store store(c.lines, c.precision);
  EXPECT_EQ(outcome(find_path_between_objects(store.explorer(), c.start, c.end, c.avoid)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathSearchTest,
    ::testing::Values(
        PathCase{"StartIsEnd", {line(1, {2}), line(2, {})}, kNone, 1, 1, {}, "1"},
        PathCase{"ShortcutWins", {line(1, {2, 3}), line(2, {3}), line(3, {})}, kNone, 1, 3, {}, "1 3"},
        PathCase{"StoredOrderPicksAmongEqualPaths",
                 {line(1, {3, 2}), line(2, {4}), line(3, {4}), line(4, {})}, kNone, 1, 4, {}, "1 3 4"},
        PathCase{"AvoidedMiddleBlocks", {line(1, {2}), line(2, {3}), line(3, {})}, kNone, 1, 3, {2}, "none"},
        PathCase{"ModuleEndNotEntered", {line(1, {2}), module_line(2, {})}, kNone, 1, 2, {}, "none"},
        PathCase{"ModuleInTheMiddleBlocks", {line(1, {2}), module_line(2, {3}), line(3, {})}, kNone, 1, 3, {},
                 "none"},
        PathCase{"CyclesTerminate", {line(1, {2, 1}), line(2, {1, 2}), line(3, {})}, kNone, 1, 3, {}, "none"},
        PathCase{"LongerPathAroundAvoided",
                 {line(1, {2, 3}), line(2, {5}), line(3, {4}), line(4, {5}), line(5, {})}, kNone, 1, 5, {2},
                 "1 3 4 5"},
        PathCase{"MissingStartFirst", {line(1, {})}, kNone, 8, 9, {}, "Start ID 8 not found in database"},
        PathCase{"MissingEnd", {line(1, {})}, kNone, 1, 9, {}, "End ID 9 not found in database"},
        PathCase{"DanglingReferenceReached", {line(1, {7, 2}), line(2, {})}, kNone, 1, 2, {},
                 "Decoding error: Missing record for ID 7"},
        PathCase{"DanglingReferenceAvoided", {line(1, {7, 2}), line(2, {})}, kNone, 1, 2, {7}, "1 2"},
        // X is expanded before E is dequeued, so its dangling reference fails the search...
        PathCase{"DanglingBehindEarlierSibling", {line(1, {2, 3}), line(2, {9}), line(3, {})}, kNone, 1, 3, {},
                 "Decoding error: Missing record for ID 9"},
        // ...but E listed first is dequeued before X is expanded.
        PathCase{"EndDequeuedBeforeDanglingSibling", {line(1, {3, 2}), line(2, {9}), line(3, {})}, kNone, 1, 3,
                 {}, "1 3"},
        // Pruned before its dangling reference would be read.
        PathCase{"SmallerStartPrunedAtOnce", {line(1, {9}, 1), line(2, {}, 100)}, kExact, 1, 2, {}, "none"},
        // With exact sizes the start reaches the end, so its subtree is never smaller.
        PathCase{"ExactSizesKeepRealPaths", {line(1, {2, 3}, 5), line(2, {3}, 5), line(3, {4}, 50), line(4, {}, 50)},
                 kExact, 1, 4, {}, "1 3 4"},
        // A pruned object stays a dead end for later references too.
        PathCase{"PrunedBranchNotEntered",
                 {line(1, {2, 3}, 1, "builtins.object", 100), line(2, {4}, 1, "builtins.object", 5),
                  line(3, {2}, 1, "builtins.object", 60), line(4, {}, 1, "builtins.object", 10)},
                 kNone, 1, 4, {}, "none"}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

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

TEST(PathSearchTest, SummariesCarryStoredFields) {
  Store store({"{\"id\":1,\"type\":\"a.B\",\"references\":[2],\"value\":\"v\",\"size\":3}", line(2, {}, 4)}, kExact);
  auto path = value_or_die(find_path_between_objects(store.explorer(), 1, 2, {}));
  ASSERT_TRUE(path);
  ASSERT_EQ(path->size(), 2u);
  EXPECT_EQ((*path)[0], (ObjectSummary{1, "a.B", "v", 3, 7}));
  EXPECT_EQ((*path)[1], (ObjectSummary{2, "builtins.object", std::nullopt, 4, 4}));
}

// ---- largest common reachable object ----------------------------------------------------

struct CommonCase {
  const char* name;
  std::vector<std::string> lines;
  EstimatorPrecision precision;
  uint64_t first;
  uint64_t second;
  std::string expected;
};

class CommonObjectTest : public ::testing::TestWithParam<CommonCase> {};

TEST_P(CommonObjectTest, FindsTheExpectedObject) {
  const CommonCase& c = GetParam();
  Store store(c.lines, c.precision);
  EXPECT_EQ(outcome(find_largest_common_reachable_object(store.explorer(), c.first, c.second)), c.expected);
}

std::string sized(uint64_t id, std::vector<uint64_t> references, uint64_t subtree_size,
                  std::string_view type = "builtins.object") {
  return line(id, std::move(references), 1, type, subtree_size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonObjectTest,
    ::testing::Values(
        CommonCase{"SharedChild", {line(1, {3}), line(2, {3}), line(3, {})}, kExact, 1, 2, "3"},
        CommonCase{"LargestOfSeveral",
                   {line(1, {3, 4}), line(2, {4, 3}), line(3, {}, 10), line(4, {5}, 20), line(5, {}, 30)}, kExact, 1,
                   2, "4"},
        CommonCase{"ModuleReferenceNeverEntered", {line(1, {3}), line(2, {3}), module_line(3, {})}, kExact, 1, 2,
                   "none"},
        CommonCase{"ModuleStartsExpanded", {module_line(1, {3}), module_line(2, {3}), line(3, {})}, kExact, 1, 2, "3"},
        CommonCase{"CycleBetweenStarts", {line(1, {2}), line(2, {1})}, kExact, 1, 2, "2"},
        CommonCase{"NoSubtreeSizeFirst", {line(1, {}), line(2, {})}, kNone, 1, 2, "No subtree size in 1"},
        CommonCase{"NoSubtreeSizeInReference", {sized(1, {3}, 5), sized(2, {}, 4), line(3, {})}, kNone, 1, 2,
                   "No subtree size in 3"},
        CommonCase{"MissingFirstReportedFirst", {line(1, {})}, kExact, 8, 9, "Object ID 8 not found in database"},
        CommonCase{"FirstWithoutSizeBeforeMissingSecond", {line(1, {})}, kNone, 1, 9, "No subtree size in 1"},
        CommonCase{"DanglingReference", {line(1, {7}), line(2, {})}, kExact, 1, 2, "Object ID 7 not found in database"},
        // Found before the object holding the dangling reference is expanded.
        CommonCase{"AnswerBeforeDangling", {sized(1, {2, 3}, 50), sized(2, {}, 40), sized(3, {9}, 10)}, kNone, 1,
                   2, "2"},
        // 3 and 4 tie: 3 leaves the queue first on side 0 only, then 4 on both
        // sides; the heap procedure, not the ids, decides.
        CommonCase{"TieDecidedByHeap",
                   {sized(1, {3, 4}, 9), sized(2, {4, 3}, 9), sized(3, {}, 5), sized(4, {}, 5)}, kNone, 1, 2, "4"}),
    [](const ::testing::TestParamInfo<CommonCase>& info) { return std::string(info.param.name); });

TEST(CommonObjectItemsTest, BuildsItemsFromRecords) {
  ObjectRecordNoValue record{5, "t", {1, 2, 1}, 3, 40};
  QueueItem built = value_or_die(internal::make_queue_item_from_record(std::move(record), 1));
  EXPECT_EQ(built.id, 5u);
  EXPECT_EQ(built.subtree_size, 40u);
  EXPECT_EQ(built.origin, 1);
  EXPECT_EQ(built.references, (std::vector<uint64_t>{1, 2, 1}));
  auto missing = internal::make_queue_item_from_record(ObjectRecordNoValue{6, "t", {}, 3, std::nullopt}, 0);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().text(), "No subtree size in 6");
}

}  // namespace
}  // namespace vossick
