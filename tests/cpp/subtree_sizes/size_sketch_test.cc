// The size sketch against plain computations: bfloat16 rounding against a
// nearest search, the slot hash against XXH3, the estimate against a sort,
// every update against the step-by-step candidate of each slot, the vector
// lanes against the exact candidate; its merge laws and the pinned values
// that stored estimates depend on.

#include "subtree_sizes/size_sketch/size_sketch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <type_traits>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vossick {
namespace {

namespace internal = size_sketch_internal;

double from_bits(uint64_t bits) { return std::bit_cast<double>(bits); }
constexpr double kInf = std::numeric_limits<double>::infinity();

// Nearest bfloat16 by searching the table of all finite positive values, ties
// to the even pattern, from the midpoint above the largest finite value on
// infinity. The rounding under test judges only the upper 20 fraction bits,
// so the value's lower 32 bits are cleared first.
uint16_t nearest_bfloat16(double value) {
  static const std::vector<double> table = [] {
    std::vector<double> values;
    for (uint32_t bits = 0; bits <= 0x7F7F; ++bits) values.push_back(bfloat16_to_double(static_cast<uint16_t>(bits)));
    values.push_back(0x1p128);  // stands for infinity
    return values;
  }();
  const double truncated = from_bits(std::bit_cast<uint64_t>(value) & 0xFFFFFFFF00000000);
  const uint16_t sign = std::signbit(truncated) ? 0x8000 : 0;
  const double magnitude = std::fabs(truncated);
  if (magnitude >= 0x1p128) return sign | 0x7F80;
  const auto low = static_cast<uint16_t>(std::upper_bound(table.begin(), table.end(), magnitude) - table.begin() - 1);
  const double below = magnitude - table[low], above = table[low + 1] - magnitude;
  return sign | (above < below || (above == below && (low & 1) != 0) ? low + 1 : low);
}

TEST(SizeSketchBfloat16, RoundsToNearestEvenAndKeepsNaNsAndInfinities) {
  std::mt19937_64 random(12345);
  for (int trial = 0; trial < 200000; ++trial) {
    uint64_t bits = random();
    if (trial % 4 != 0) bits = (bits & 0x800FFFFFFFFFFFFF) | ((870 + random() % 290) << 52);
    // Clearing low fraction bits of the upper word makes exact ties common at
    // every rounding position, normal and subnormal.
    if (trial % 2 == 0) bits &= ~(((uint64_t{1} << (random() % 21)) - 1) << 32);
    if (!std::isfinite(from_bits(bits))) continue;
    ASSERT_EQ(double_to_bfloat16(from_bits(bits)), nearest_bfloat16(from_bits(bits))) << bits;
  }
  for (uint32_t bits = 0; bits <= 0xFFFF; ++bits) {  // quiet NaNs keep their payload; signalling ones turn quiet
    const auto pattern = static_cast<uint16_t>(bits);
    EXPECT_EQ(double_to_bfloat16(bfloat16_to_double(pattern)), internal::is_nan(pattern) ? pattern | 0x40 : pattern);
  }
  const std::pair<double, uint16_t> edges[] = {{std::ldexp(511.0, 119), 0x7F80},  // overflow tie
                                               {std::numeric_limits<double>::max(), 0x7F80},
                                               {-kInf, 0xFF80},
                                               {from_bits(0x7FF0000000000001), 0x7FC0},  // payload in the lower word
                                               {from_bits(0xFFF8000000000000), 0xFFC0},
                                               {1.0 + 0x1p-8 + 0x1p-52, 0x3F80},  // the lower word breaks no tie
                                               {0x1p-134, 0x0000},
                                               {-0x1p-142, 0x8000}};
  for (const auto& [value, expected] : edges) EXPECT_EQ(double_to_bfloat16(value), expected) << value;
}

TEST(SizeSketchSteps, SlotHashUnitCandidateAndConversionFollowTheirDefinitions) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 20000; ++round) {
    const uint64_t slot = round % 2 ? random() % 127 : random(), key = random() >> (random() % 64);
    unsigned char input[16];
    for (int byte = 0; byte < 8; ++byte) {
      input[byte] = static_cast<unsigned char>(slot >> (8 * byte));
      input[8 + byte] = static_cast<unsigned char>(key >> (8 * byte));
    }
    ASSERT_EQ(internal::slot_hash(slot, key), XXH3_64bits(input, sizeof input)) << slot << " " << key;
    uint64_t hash = random() >> (random() % 16);
    if (round % 4 == 0) hash = (hash & ~uint64_t{0x7FF}) | 0x400;  // an exact tie
    ASSERT_EQ(internal::unit_from_hash(hash), static_cast<double>(hash) * 0x1p-64) << hash;
  }
  EXPECT_EQ(internal::unit_from_hash(UINT64_MAX), 1.0);
  EXPECT_EQ(std::bit_cast<uint64_t>(internal::kNegativeLn4), 0xbff62e42fefa39efu);
  EXPECT_EQ(internal::candidate(internal::scaled_weight(1000), 0.5), 1999.9999999999998);           // rounds to 0x44FA
  EXPECT_EQ(std::bit_cast<uint64_t>(internal::candidate(internal::scaled_weight(1000), 0.0)), 0u);  // +0.0
  EXPECT_EQ(internal::candidate(internal::scaled_weight(1000), 1.0), -kInf);
  EXPECT_TRUE(std::isnan(internal::candidate(internal::scaled_weight(0), 1.0)));
  const std::pair<double, uint64_t> conversions[] = {
      {-0.0, 0}, {2.5, 2}, {-1.0, 0}, {std::nan(""), 0}, {0x1p64 - 0x1p11, 0xFFFFFFFFFFFFF800}, {0x1p64, UINT64_MAX}};
  for (const auto& [value, expected] : conversions) EXPECT_EQ(internal::saturating_to_u64(value), expected) << value;
}

template <class Sketch>
class SizeSketchTyped : public ::testing::Test {};
using SketchTypes = ::testing::Types<SizeSketch<7>, SizeSketch<31>, SizeSketch<127>>;
TYPED_TEST_SUITE(SizeSketchTyped, SketchTypes);

template <class Sketch>
constexpr size_t kSlots = std::tuple_size_v<std::remove_cvref_t<decltype(Sketch().slots())>>;

template <class Sketch>
Sketch sketch_of(uint64_t first_key, uint64_t count, uint64_t weight) {
  Sketch sketch = Sketch::empty();
  for (uint64_t key = first_key; key < first_key + count; ++key) sketch.add_in_place(key, weight);
  return sketch;
}

// The slot of rank K/4 in the IEEE total order, by a full sort.
TYPED_TEST(SizeSketchTyped, EstimateIsTheSortedSlotOfRankKOverFour) {
  constexpr size_t K = kSlots<TypeParam>;
  std::mt19937_64 random(11);
  // Few values (many ties), the whole 16-bit range (negatives, NaN,
  // infinities), and typical positive estimates.
  const uint16_t few[] = {0x0000, 0x8000, 0x44FA, 0x44FB, 0x7F80, 0x7FC0, 0xFF80, 0x5F80, 0x5F7F, 0x4020};
  for (int round = 0; round < 3000; ++round) {
    std::array<uint16_t, K> slots;
    for (uint16_t& slot : slots) {
      slot = round % 3 == 0   ? few[random() % std::size(few)]
             : round % 3 == 1 ? static_cast<uint16_t>(random())
                              : static_cast<uint16_t>(0x4000 + random() % 0x0F00);
    }
    std::array<uint16_t, K> keys;
    for (size_t i = 0; i < K; ++i) keys[i] = internal::total_order_key(slots[i]);
    std::sort(keys.begin(), keys.end());
    const TypeParam sketch = TypeParam::from_slots(slots);
    ASSERT_EQ(sketch.estimate(),
              internal::saturating_to_u64(bfloat16_to_double(internal::from_total_order_key(keys[K / 4]))));
    ASSERT_EQ(sketch.slots(), slots);  // selected on a copy
  }
}

// Every slot the long way: hash, scale, log, divide, round, compare.
// add_in_place skips the logarithm where it can prove the candidate loses;
// that must never change a slot. From arbitrary slot patterns, and as the
// pass grows a component's sketch: many keys of like weights, so new
// candidates land close to the slots they must beat.
TYPED_TEST(SizeSketchTyped, AddMatchesTheLongWayOfEverySlot) {
  constexpr size_t K = kSlots<TypeParam>;
  std::mt19937_64 random(2024);
  for (int round = 0; round < 34; ++round) {
    const bool like_weights = round >= 30;
    std::array<uint16_t, K> expected{};
    for (uint16_t& slot : expected) {
      if (!like_weights) slot = random() % 4 == 0 ? random() : random() % 0x4F00;
    }
    TypeParam sketch = TypeParam::from_slots(expected);
    for (int step = 0; step < (like_weights ? 1500 : 40); ++step) {
      const uint64_t key = random() % 3 == 0 ? random() : random() % 64;
      const uint64_t weights[] = {1 + random() % 8, random() >> (random() % 64), UINT64_MAX - random() % 3,
                                  1000 + random() % 1000};
      const uint64_t weight = like_weights ? 1000 + random() % (100 << (round - 30)) : weights[random() % 4];
      sketch.add_in_place(key, weight);
      const double scaled = internal::scaled_weight(weight);
      for (size_t i = 0; i < K; ++i) {
        const uint16_t rounded =
            double_to_bfloat16(internal::candidate(scaled, internal::unit_from_hash(internal::slot_hash(i, key))));
        if (bfloat16_to_double(rounded) > bfloat16_to_double(expected[i])) expected[i] = rounded;
      }
      ASSERT_EQ(sketch.slots(), expected) << "round " << round << " step " << step;
    }
  }
}

TYPED_TEST(SizeSketchTyped, MergeIsTheSlotwiseMaximumAndRepeatsChangeNothing) {
  auto merged = [](TypeParam left, const TypeParam& right) {
    left.include(right);
    return left;
  };
  const TypeParam a = sketch_of<TypeParam>(0, 40, 9), b = sketch_of<TypeParam>(30, 40, 1000);
  const TypeParam c = sketch_of<TypeParam>(500, 5, 77777);
  EXPECT_EQ(merged(a, b), merged(b, a));
  EXPECT_EQ(merged(merged(a, b), c), merged(a, merged(b, c)));
  // Overlapping keys (30..39, added with both weights) count once with the larger weight.
  TypeParam direct = a;
  for (uint64_t key = 30; key < 70; ++key) direct.add_in_place(key, 1000);
  EXPECT_EQ(merged(a, b), direct);
  for (uint64_t key : {0ull, 7ull, ~0ull}) direct.add_in_place(key, 0);
  direct.add_in_place(35, 1000);
  EXPECT_EQ(merged(direct, direct), merged(a, b));
  EXPECT_EQ(TypeParam::empty().estimate(), 0u);
}

TEST(SizeSketchInclude, NaNSlotsYieldToTheOtherSideAndEqualSlotsKeepTheirOwn) {
  auto sketch = SizeSketch<7>::from_slots({0x7FC0, 0x3F80, 0x0000, 0x8000, 0x7FC0, 0x4000, 0x3F80});
  sketch.include(SizeSketch<7>::from_slots({0x3F80, 0x7FC0, 0x8000, 0x0000, 0xBF80, 0x4040, 0x3F00}));
  EXPECT_EQ(sketch.slots(), (std::array<uint16_t, 7>{0x3F80, 0x3F80, 0x0000, 0x8000, 0xBF80, 0x4040, 0x3F80}));
}

// The stored estimates depend on these.
TEST(SizeSketchPinned, EstimatesOfKeyZeroWeightThousandAndHundredKeysOfWeightTen) {
  auto sketch = SizeSketch<7>::empty();
  sketch.add_in_place(0, 1000);
  EXPECT_EQ(sketch.slots(), (std::array<uint16_t, 7>{0x45D4, 0x4438, 0x45C2, 0x44CE, 0x46A9, 0x44D1, 0x43A0}));
  EXPECT_EQ(sketch.estimate(), 736u);
  EXPECT_EQ((sketch_of<SizeSketch<7>>(0, 100, 10).estimate()), 804u);
  EXPECT_EQ((sketch_of<SizeSketch<31>>(0, 1, 1000).estimate()), 960u);
  EXPECT_EQ((sketch_of<SizeSketch<31>>(0, 100, 10).estimate()), 876u);
  EXPECT_EQ((sketch_of<SizeSketch<127>>(0, 1, 1000).estimate()), 972u);
  EXPECT_EQ((sketch_of<SizeSketch<127>>(0, 100, 10).estimate()), 996u);
}

// ---- The vector lanes of every build against the exact candidate ------------

struct LanesCase {
  const char* name;
  void (*from_units)(const double*, double, uint16_t*, uint8_t*, size_t) noexcept;
  bool (*available)() noexcept;
};

bool always() noexcept { return true; }
void PrintTo(const LanesCase& c, std::ostream* os) { *os << c.name; }

uint64_t random_weight(std::mt19937_64& random) {
  const uint64_t weights[] = {1, 3, 1000, uint64_t{1} << 53, UINT64_MAX};
  return std::max<uint64_t>(1, random() % 2 ? weights[random() % std::size(weights)] : random() >> (random() % 64));
}

class CandidateLanesTest : public ::testing::TestWithParam<LanesCase> {};

// Each build's lanes, from units at the ends of the interval and aimed so
// that the exact candidate falls on or next to a bfloat16 rounding boundary:
// the lanes round as the exact candidate does or leave the lane to the exact
// path. (The lanes of the build the CPU runs are checked from keys and slots
// by AddMatchesTheLongWayOfEverySlot.)
TEST_P(CandidateLanesTest, SettledLanesRoundLikeTheExactCandidate) {
  if (!GetParam().available()) GTEST_SKIP() << "the CPU lacks the instructions of this build";
  std::mt19937_64 random(9);
  size_t lanes = 0, sure_count = 0;
  for (int round = 0; round < 300; ++round) {
    const uint64_t weight = random_weight(random);
    const double scaled = internal::scaled_weight(weight);
    const double low = bfloat16_to_double(static_cast<uint16_t>(double_to_bfloat16(-scaled) + 1 + random() % 2000));
    const double u0 = std::exp(scaled / std::bit_cast<double>(std::bit_cast<uint64_t>(low) | (uint64_t{1} << 44)));
    std::vector<double> units = {0.0, 1.0, 1.0 - 0x1p-53, 0x1p-64, 0.0, 0.0, 0.0, 0.0};
    for (int step = -40; step < 40; ++step) units.push_back(u0 + step * std::max(0x1p-60, u0 * 0x1p-52));
    std::vector<uint16_t> rounded(units.size());
    std::vector<uint8_t> sure(units.size());
    GetParam().from_units(units.data(), scaled, rounded.data(), sure.data(), units.size());
    for (size_t j = 0; j < units.size(); ++j) {
      if (!sure[j]) continue;
      ++sure_count;
      EXPECT_EQ(rounded[j], double_to_bfloat16(internal::candidate(scaled, units[j]))) << units[j] << " " << weight;
    }
    lanes += units.size();
  }
  EXPECT_GT(sure_count, 0u);     // some lanes are settled without the exact logarithm
  EXPECT_LT(sure_count, lanes);  // some lanes were close enough to need the exact path
}

const LanesCase kBuilds[] = {
    {"Portable", internal::unit_candidates_portable, always},
#if VOSSICK_SIZE_SKETCH_X86
    {"Avx2", internal::unit_candidates_avx2, internal::have_avx2},
    {"Avx512", internal::unit_candidates_avx512, internal::have_avx512},
#endif
};

INSTANTIATE_TEST_SUITE_P(Builds, CandidateLanesTest, ::testing::ValuesIn(kBuilds),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vossick
