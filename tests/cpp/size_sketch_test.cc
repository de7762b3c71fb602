#include "subtree_sizes/size_sketch/size_sketch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <type_traits>
#include <vector>

namespace vossick {
namespace {

using size_sketch_internal::candidate;
using size_sketch_internal::scaled_weight;

double from_bits(uint64_t bits) { return std::bit_cast<double>(bits); }

// ---- bfloat16 rounding ----------------------------------------------------------

struct RoundingCase {
  const char* name;
  double value;
  uint16_t expected;
};

class SizeSketchBfloat16Rounding : public ::testing::TestWithParam<RoundingCase> {};

TEST_P(SizeSketchBfloat16Rounding, MatchesExpectedPattern) {
  EXPECT_EQ(double_to_bfloat16(GetParam().value), GetParam().expected)
      << std::hex << std::bit_cast<uint64_t>(GetParam().value);
}

const double kMaxFinite = std::ldexp(255.0, 120);  // 0x7F7F

using R = RoundingCase;
constexpr double kInf = std::numeric_limits<double>::infinity();

// Finite values away from the edges are also compared with a nearest search below.
INSTANTIATE_TEST_SUITE_P(
    Table, SizeSketchBfloat16Rounding,
    ::testing::Values(
        R{"PositiveZero", 0.0, 0x0000}, R{"NegativeZero", -0.0, 0x8000}, R{"One", 1.0, 0x3F80},
        R{"MinusOne", -1.0, 0xBF80}, R{"TwoThousandExact", 2000.0, 0x44FA},
        R{"JustBelowTwoThousand", 1999.9999999999998, 0x44FA},
        // Ties: half an ulp above 1.0 stays (kept bit even); above 1 + 2^-7 goes up (odd).
        R{"TieToEvenDown", 1.0 + 0x1p-8, 0x3F80}, R{"TieToEvenUp", 1.0 + 0x1p-7 + 0x1p-8, 0x3F82},
        R{"AboveTieByUpperWordBit", 1.0 + 0x1p-8 + 0x1p-20, 0x3F81},
        // Only the upper 20 fraction bits decide: a lower-word bit above a tie does not break it.
        R{"AboveTieByLowerWordBitOnly", 1.0 + 0x1p-8 + 0x1p-52, 0x3F80}, R{"BelowHalfUlp", 1.0 + 0x1p-9, 0x3F80},
        R{"CarryIntoExponent", 2.0 - 0x1p-9, 0x4000}, R{"LargestFinite", kMaxFinite, 0x7F7F},
        R{"JustBelowOverflowTie", std::ldexp(511.0, 119) - std::ldexp(1.0, 108), 0x7F7F},
        R{"OverflowTieRoundsToInfinity", std::ldexp(511.0, 119), 0x7F80}, R{"TwoToThe128", 0x1p128, 0x7F80},
        R{"DoubleMax", std::numeric_limits<double>::max(), 0x7F80}, R{"Infinity", kInf, 0x7F80},
        R{"NegativeInfinity", -kInf, 0xFF80}, R{"QuietNaN", from_bits(0x7FF8000000000000), 0x7FC0},
        R{"NegativeQuietNaN", from_bits(0xFFF8000000000000), 0xFFC0},
        R{"NaNWithLowerWordPayloadOnly", from_bits(0x7FF0000000000001), 0x7FC0},
        R{"NaNKeepsUpperPayload", from_bits(0x7FFFE00000000000), 0x7FFF},
        R{"NaNPayloadBelowKeptBits", from_bits(0x7FF0001000000000), 0x7FC0}, R{"SmallestNormal", 0x1p-126, 0x0080},
        // 127.5 · 2^-133: tie between the largest subnormal (odd) and the smallest normal (even).
        R{"SubnormalCarryIntoNormal", 0x1p-126 - 0x1p-134, 0x0080}, R{"LargestSubnormal", 0x1p-126 - 0x1p-133, 0x007F},
        R{"HalfSmallestNormal", 0x1p-127, 0x0040}, R{"SmallestSubnormal", 0x1p-133, 0x0001},
        R{"HalfSmallestSubnormalTiesToZero", 0x1p-134, 0x0000},
        R{"AboveHalfSmallestSubnormal", 0x1p-134 + 0x1p-154, 0x0001}, R{"SubnormalTieToEvenUp", 0x1p-133 * 1.5, 0x0002},
        R{"SubnormalTieToEvenDown", 0x1p-133 * 2.5, 0x0002}, R{"SubnormalAboveTie", 0x1p-133 * 2.5 + 0x1p-150, 0x0003},
        R{"LowestSubnormalExponentBand", 0x1p-141, 0x0000}, R{"BelowSubnormalBand", -0x1p-142, 0x8000},
        R{"DoubleDenormal", from_bits(1), 0x0000}),
    [](const ::testing::TestParamInfo<RoundingCase>& info) { return std::string(info.param.name); });

// Independent rounding: nearest bfloat16 found by searching the table of all
// finite positive bfloat16 values, ties to the even pattern, everything at or
// beyond the midpoint above the largest finite value going to infinity. The
// procedure under test judges only the upper 20 fraction bits, so the oracle
// rounds the value with its lower 32 bits cleared.
uint16_t oracle_bfloat16(double value) {
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
  auto above = std::upper_bound(table.begin(), table.end(), magnitude);
  const auto low = static_cast<uint16_t>(above - table.begin() - 1);
  if (table[low] == magnitude) return sign | low;
  const double below_gap = magnitude - table[low];  // exact: same binade grid
  const double above_gap = table[low + 1] - magnitude;
  uint16_t rounded = low;
  if (above_gap < below_gap || (above_gap == below_gap && (low & 1) != 0)) rounded = low + 1;
  return sign | rounded;
}

TEST(SizeSketchBfloat16, AgreesWithNearestSearchOnRandomDoubles) {
  std::mt19937_64 random(12345);
  std::uniform_int_distribution<uint64_t> exponent(870, 1160);
  std::uniform_int_distribution<int> cleared_bits(0, 20);
  for (int trial = 0; trial < 200000; ++trial) {
    uint64_t bits = random();
    if (trial % 4 != 0) bits = (bits & 0x800FFFFFFFFFFFFF) | (exponent(random) << 52);
    // Clearing low fraction bits of the upper word makes exact ties common at
    // every rounding position, normal and subnormal.
    if (trial % 2 == 0) bits &= ~(((uint64_t{1} << cleared_bits(random)) - 1) << 32);
    const double value = from_bits(bits);
    if (!std::isfinite(value)) continue;
    ASSERT_EQ(double_to_bfloat16(value), oracle_bfloat16(value)) << std::hex << bits;
  }
}

TEST(SizeSketchBfloat16, EveryPatternRoundTripsThroughDouble) {
  for (uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
    const auto pattern = static_cast<uint16_t>(bits);
    const double value = bfloat16_to_double(pattern);
    if (std::isnan(value)) {
      // Quiet NaNs keep their payload; signalling ones become quiet.
      EXPECT_EQ(double_to_bfloat16(value), pattern | 0x40) << std::hex << bits;
    } else {
      EXPECT_EQ(double_to_bfloat16(value), pattern) << std::hex << bits;
    }
  }
}

// ---- Candidate and estimate arithmetic ---------------------------------------

TEST(SizeSketchCandidate, EdgesOfTheUnitIntervalAndConversionToU64) {
  EXPECT_EQ(candidate(scaled_weight(1000), 0.5), 1999.9999999999998);  // rounds to 0x44FA
  EXPECT_EQ(std::bit_cast<uint64_t>(size_sketch_internal::kNegativeLn4), 0xbff62e42fefa39efu);
  // u = 0: +0.0; u = 1: -infinity; weight 0: NaN at u = 1.
  const double at_zero = candidate(scaled_weight(1000), 0.0);
  EXPECT_EQ(at_zero, 0.0);
  EXPECT_FALSE(std::signbit(at_zero));
  EXPECT_EQ(candidate(scaled_weight(1000), 1.0), -kInf);
  EXPECT_TRUE(std::isnan(candidate(scaled_weight(0), 1.0)));
  EXPECT_EQ(size_sketch_internal::unit_from_hash(UINT64_MAX), 1.0);
  EXPECT_EQ(size_sketch_internal::unit_from_hash(0), 0.0);
  EXPECT_EQ(size_sketch_internal::unit_from_hash(uint64_t{1} << 63), 0.5);
  // Truncates toward zero and saturates.
  const std::pair<double, uint64_t> conversions[] = {{0.0, 0},
                                                     {-0.0, 0},
                                                     {2.5, 2},
                                                     {0.999, 0},
                                                     {-1.0, 0},
                                                     {-kInf, 0},
                                                     {std::numeric_limits<double>::quiet_NaN(), 0},
                                                     {0x1p64 - 0x1p11, 0xFFFFFFFFFFFFF800},
                                                     {0x1p64, UINT64_MAX},
                                                     {kInf, UINT64_MAX}};
  for (const auto& [value, expected] : conversions) {
    EXPECT_EQ(size_sketch_internal::saturating_to_u64(value), expected) << value;
  }
}

struct SlotsCase {
  const char* name;
  std::array<uint16_t, 7> slots;
  uint64_t expected;
};

class SizeSketchEstimateFromSlots : public ::testing::TestWithParam<SlotsCase> {};

TEST_P(SizeSketchEstimateFromSlots, SelectsSecondSmallest) {
  const auto sketch = SizeSketch<7>::from_slots(GetParam().slots);
  EXPECT_EQ(sketch.estimate(), GetParam().expected);
  EXPECT_EQ(sketch.slots(), GetParam().slots);  // selection works on a copy
}

// bfloat16: 1.0 0x3F80, 2.0 0x4000, 3.0 0x4040, 4.0 0x4080, 5.0 0x40A0, 7.0 0x40E0.
INSTANTIATE_TEST_SUITE_P(
    Table, SizeSketchEstimateFromSlots,
    ::testing::Values(
        SlotsCase{"SecondSmallestOfSmallIntegers", {0x40A0, 0x3F80, 0x4040, 0x0000, 0x40E0, 0x4000, 0x4080}, 1},
        SlotsCase{"TruncatesTowardZero", {0x4020, 0x4020, 0x4020, 0x4020, 0x4020, 0x4020, 0x4020}, 2},
        SlotsCase{"Empty", {}, 0},
        // -NaN < -inf < -1 < -0 < +0 < +inf < +NaN: rank 1 is -inf.
        SlotsCase{"TotalOrderNegatives", {0x7FC0, 0xFFC0, 0xFF80, 0xBF80, 0x8000, 0x0000, 0x7F80}, 0},
        // -0 and +0 are distinct in the total order; both read 0.
        SlotsCase{"SignedZeros", {0x8000, 0x0000, 0x0000, 0x4000, 0x4000, 0x4000, 0x4000}, 0},
        SlotsCase{"InfinitySaturates", {0x7F80, 0x7F80, 0x7FC0, 0x7F80, 0x7F80, 0x7F80, 0x7F80}, UINT64_MAX},
        SlotsCase{"NaNAboveInfinity", {0x7FC0, 0x7FC0, 0x7FC0, 0x7FC0, 0x7FC0, 0x7FC0, 0x7F80}, 0},
        SlotsCase{"TwoToThe64Saturates", {0x5F80, 0x5F80, 0x5F80, 0x5F80, 0x5F80, 0x5F80, 0x5F80}, UINT64_MAX},
        SlotsCase{
            "LargestBelowTwoToThe64", {0x5F7F, 0x5F7F, 0x7F80, 0x7F80, 0x7F80, 0x7F80, 0x7F80}, 0xFF00000000000000}),
    [](const ::testing::TestParamInfo<SlotsCase>& info) { return std::string(info.param.name); });

// ---- Sketch behaviour, for every K in use -----------------------------------

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

TYPED_TEST(SizeSketchTyped, EstimateReadsRankQuarterOfK) {
  constexpr size_t K = kSlots<TypeParam>;
  // Slots holding the integers 0..K-1 in a scrambled order: rank K/4 reads K/4.
  std::array<uint16_t, K> slots;
  for (size_t i = 0; i < K; ++i) slots[i] = double_to_bfloat16(static_cast<double>((i * 5 + 3) % K));
  EXPECT_EQ(TypeParam::from_slots(slots).estimate(), K / 4);
}

TYPED_TEST(SizeSketchTyped, EmptyZeroWeightsRepeatsAndSelfIncludeChangeNothing) {
  const TypeParam empty = TypeParam::empty();
  EXPECT_EQ(empty.slots(), (std::array<uint16_t, kSlots<TypeParam>>{}));
  EXPECT_EQ(empty.estimate(), 0u);
  EXPECT_EQ(TypeParam(), empty);
  TypeParam sketch = sketch_of<TypeParam>(10, 20, 123);
  const TypeParam before = sketch;
  for (uint64_t key : {0ull, 7ull, 1000ull, ~0ull}) sketch.add_in_place(key, 0);
  sketch.add_in_place(15, 123);
  sketch.include(sketch);
  sketch.include(TypeParam(before));
  EXPECT_EQ(sketch, before);
}

TYPED_TEST(SizeSketchTyped, SlotsStayNonNegativeAndFinite) {
  TypeParam sketch = TypeParam::empty();
  std::mt19937_64 random(7);
  for (int i = 0; i < 200; ++i) sketch.add_in_place(random(), i % 3 == 0 ? UINT64_MAX : random() >> (i % 64));
  for (uint16_t slot : sketch.slots()) {
    EXPECT_EQ(slot & 0x8000, 0);
    EXPECT_LT(slot, 0x7F80);
  }
}

TYPED_TEST(SizeSketchTyped, MergeIsCommutativeAssociativeAndEqualsAddingEverything) {
  auto merged = [](TypeParam left, const TypeParam& right) {
    left.include(right);
    return left;
  };
  const TypeParam a = sketch_of<TypeParam>(0, 40, 9);
  const TypeParam b = sketch_of<TypeParam>(30, 40, 1000);
  const TypeParam c = sketch_of<TypeParam>(500, 5, 77777);
  EXPECT_EQ(merged(a, b), merged(b, a));
  EXPECT_EQ(merged(merged(a, b), c), merged(a, merged(b, c)));
  // Overlapping keys (30..39, added with both weights) count once with the larger weight.
  TypeParam direct = sketch_of<TypeParam>(0, 40, 9);
  for (uint64_t key = 30; key < 70; ++key) direct.add_in_place(key, 1000);
  EXPECT_EQ(merged(a, b), direct);
}

// Every slot computed the long way: hash, scale, log, divide, round, compare.
// add_in_place skips the logarithm where it can prove the candidate loses;
// that must never change a slot.
template <size_t K>
void add_the_long_way(std::array<uint16_t, K>& slots, uint64_t key, uint64_t weight) {
  const double scaled = scaled_weight(weight);
  for (size_t i = 0; i < K; ++i) {
    const double u = size_sketch_internal::unit_from_hash(size_sketch_internal::slot_hash(i, key));
    const uint16_t rounded = double_to_bfloat16(candidate(scaled, u));
    if (bfloat16_to_double(rounded) > bfloat16_to_double(slots[i])) slots[i] = rounded;
  }
}

TYPED_TEST(SizeSketchTyped, AddMatchesTheUnshortenedComputation) {
  constexpr size_t K = kSlots<TypeParam>;
  std::mt19937_64 random(2024);
  for (int round = 0; round < 30; ++round) {
    // Start from arbitrary slot patterns, negative, NaN and infinite included.
    std::array<uint16_t, K> expected;
    for (uint16_t& slot : expected) {
      slot = random() % 4 == 0 ? static_cast<uint16_t>(random()) : static_cast<uint16_t>(random() % 0x4F00);
    }
    TypeParam sketch = TypeParam::from_slots(expected);
    for (int step = 0; step < 40; ++step) {
      const uint64_t key = random() % 3 == 0 ? random() : random() % 64;
      uint64_t weight;
      switch (random() % 4) {
        case 0: weight = 1 + random() % 8; break;
        case 1: weight = random() >> (random() % 64); break;
        case 2: weight = UINT64_MAX - random() % 3; break;
        default: weight = 1000 + random() % 1000; break;
      }
      sketch.add_in_place(key, weight);
      add_the_long_way(expected, key, weight);
      ASSERT_EQ(sketch.slots(), expected) << "round " << round << " step " << step;
    }
  }
}

// As the pass grows a component's sketch: many keys of like weights, so new
// candidates land close to the slots they must beat.
TYPED_TEST(SizeSketchTyped, AccumulatingLikeWeightsMatchesTheUnshortenedComputation) {
  constexpr size_t K = kSlots<TypeParam>;
  std::mt19937_64 random(77);
  for (int round = 0; round < 4; ++round) {
    std::array<uint16_t, K> expected{};
    TypeParam sketch;
    for (int step = 0; step < 1500; ++step) {
      const uint64_t key = random();
      const uint64_t weight = 1000 + random() % (round == 0 ? 1 : 100 << round);
      sketch.add_in_place(key, weight);
      add_the_long_way(expected, key, weight);
      ASSERT_EQ(sketch.slots(), expected) << "round " << round << " step " << step;
    }
  }
}

TEST(SizeSketchInclude, NaNSlotsYieldToTheOtherSideAndEqualSlotsKeepTheirOwn) {
  // Slot by slot: this vs other -> expected.
  const std::array<uint16_t, 7> mine = {0x7FC0, 0x3F80, 0x0000, 0x8000, 0x7FC0, 0x4000, 0x3F80};
  const std::array<uint16_t, 7> theirs = {0x3F80, 0x7FC0, 0x8000, 0x0000, 0xBF80, 0x4040, 0x3F00};
  const std::array<uint16_t, 7> expected = {0x3F80, 0x3F80, 0x0000, 0x8000, 0xBF80, 0x4040, 0x3F80};
  auto sketch = SizeSketch<7>::from_slots(mine);
  sketch.include(SizeSketch<7>::from_slots(theirs));
  EXPECT_EQ(sketch.slots(), expected);
}

// ---- Pinned values: these are the stored estimates ----------------------------

template <size_t K>
void expect_pinned(uint64_t key_zero_weight_thousand, uint64_t hundred_keys_weight_ten) {
  auto sketch = SizeSketch<K>::empty();
  sketch.add_in_place(0, 1000);
  EXPECT_EQ(sketch.estimate(), key_zero_weight_thousand) << "K=" << K;
  EXPECT_EQ((sketch_of<SizeSketch<K>>(0, 100, 10).estimate()), hundred_keys_weight_ten) << "K=" << K;
}

TEST(SizeSketchPinned, EstimatesOfKeyZeroWeightThousandAndHundredKeysOfWeightTen) {
  auto sketch = SizeSketch<7>::empty();
  sketch.add_in_place(0, 1000);
  EXPECT_EQ(sketch.slots(), (std::array<uint16_t, 7>{0x45D4, 0x4438, 0x45C2, 0x44CE, 0x46A9, 0x44D1, 0x43A0}));
  EXPECT_EQ(bfloat16_to_double(sketch.slots()[4]), 21632.0);
  expect_pinned<7>(736, 804);
  expect_pinned<31>(960, 876);
  expect_pinned<127>(972, 996);
}

}  // namespace
}  // namespace vossick
