// The comparison's long walks give up when their StopCheck asks them to.
// (Their results are compared with a model on random pairs of heaps in the
// module's tests.)

#include "compare/compare.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace vossick {
namespace {

// Says stop whenever asked.
struct AlwaysStop final : StopCheck {
  bool stop_requested() override { return true; }
};

template <class T>
Status status_of(Result<T>&& result) {
  return result.ok() ? ok_status() : Status(std::move(result).error());
}

using Walk = std::function<Status(const Explorer&, const Explorer&, StopCheck&)>;

TEST(CompareTest, WalksStopWhenAsked) {
  // 20,000 objects before; after, the even ones kept, each referencing a new
  // object, and 10,000 more new ones: every walk spans several polls.
  std::vector<std::string> before, after;
  for (uint64_t id = 1; id <= 20000; ++id) {
    before.push_back(testing::record_line(id, {}));
    const bool kept = id % 2 == 0;
    after.push_back(kept ? testing::record_line(id, {id + 200000}) : testing::record_line(id + 100000, {}));
    if (kept) after.push_back(testing::record_line(id + 200000, {}));
  }
  testing::TempExplorer old_dump, new_dump;
  ASSERT_OK(testing::import_lines(*old_dump, before, EstimatorPrecision::kNoEstimates));
  ASSERT_OK(testing::import_lines(*new_dump, after, EstimatorPrecision::kNoEstimates));
  const Type any = Type::all(), objects = Type::named("builtins.object");
  const std::vector<std::pair<const char*, Walk>> walks = {
      {"all new objects",
       [&](auto& now, auto& old, auto& stop) { return status_of(get_new_objects(now, old, any, std::nullopt, stop)); }},
      {"new objects of one type",
       [&](auto& now, auto& old, auto& stop) {
         return status_of(get_new_objects(now, old, objects, std::nullopt, stop));
       }},
      {"growth points",
       [](auto& now, auto& old, auto& stop) { return status_of(get_growth_points(now, old, std::nullopt, stop)); }},
  };
  for (const auto& [name, walk] : walks) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(walk(*new_dump, *old_dump, never_stop()).ok());
    AlwaysStop stop;
    Status stopped = walk(*new_dump, *old_dump, stop);
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().kind(), ErrorKind::kInterrupted);
  }
}

}  // namespace
}  // namespace vossick
