#include "size_sketch/size_sketch.h"

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

INSTANTIATE_TEST_SUITE_P(
    Table, SizeSketchBfloat16Rounding,
    ::testing::Values(
        RoundingCase{"PositiveZero", 0.0, 0x0000}, RoundingCase{"NegativeZero", -0.0, 0x8000},
        RoundingCase{"One", 1.0, 0x3F80}, RoundingCase{"MinusOne", -1.0, 0xBF80},
        RoundingCase{"TwoThousandExact", 2000.0, 0x44FA},
        RoundingCase{"JustBelowTwoThousand", 1999.9999999999998, 0x44FA},
        // Half an ulp above 1.0: tie, kept bit even, stays.
        RoundingCase{"TieToEvenDown", 1.0 + 0x1p-8, 0x3F80},
        // Half an ulp above 1 + 2^-7: tie, kept bit odd, goes up.
        RoundingCase{"TieToEvenUp", 1.0 + 0x1p-7 + 0x1p-8, 0x3F82},
        RoundingCase{"NegativeTieToEvenUp", -(1.0 + 0x1p-7 + 0x1p-8), 0xBF82},
        RoundingCase{"AboveTieByUpperWordBit", 1.0 + 0x1p-8 + 0x1p-20, 0x3F81},
        // Only the upper 20 fraction bits decide: a lower-word bit above a tie
        // does not break it.
        RoundingCase{"AboveTieByLowerWordBitOnly", 1.0 + 0x1p-8 + 0x1p-52, 0x3F80},
        RoundingCase{"BelowHalfUlp", 1.0 + 0x1p-9, 0x3F80},
        RoundingCase{"CarryIntoExponent", 2.0 - 0x1p-9, 0x4000},
        RoundingCase{"LargestFinite", kMaxFinite, 0x7F7F},
        RoundingCase{"JustBelowOverflowTie", std::ldexp(511.0, 119) - std::ldexp(1.0, 108), 0x7F7F},
        RoundingCase{"OverflowTieRoundsToInfinity", std::ldexp(511.0, 119), 0x7F80},
        RoundingCase{"TwoToThe128", 0x1p128, 0x7F80},
        RoundingCase{"DoubleMax", std::numeric_limits<double>::max(), 0x7F80},
        RoundingCase{"NegativeDoubleMax", -std::numeric_limits<double>::max(), 0xFF80},
        RoundingCase{"Infinity", std::numeric_limits<double>::infinity(), 0x7F80},
        RoundingCase{"NegativeInfinity", -std::numeric_limits<double>::infinity(), 0xFF80},
        RoundingCase{"QuietNaN", from_bits(0x7FF8000000000000), 0x7FC0},
        RoundingCase{"NegativeQuietNaN", from_bits(0xFFF8000000000000), 0xFFC0},
        RoundingCase{"NaNWithLowerWordPayloadOnly", from_bits(0x7FF0000000000001), 0x7FC0},
        RoundingCase{"NaNKeepsUpperPayload", from_bits(0x7FFFE00000000000), 0x7FFF},
        RoundingCase{"NaNPayloadBelowKeptBits", from_bits(0x7FF0001000000000), 0x7FC0},
        RoundingCase{"SmallestNormal", 0x1p-126, 0x0080},
        // 127.5 · 2^-133: tie between the largest subnormal (odd) and the
        // smallest normal (even).
        RoundingCase{"SubnormalCarryIntoNormal", 0x1p-126 - 0x1p-134, 0x0080},
        RoundingCase{"LargestSubnormal", 0x1p-126 - 0x1p-133, 0x007F},
        RoundingCase{"HalfSmallestNormal", 0x1p-127, 0x0040},
        RoundingCase{"SmallestSubnormal", 0x1p-133, 0x0001},
        RoundingCase{"NegativeSmallestSubnormal", -0x1p-133, 0x8001},
        RoundingCase{"HalfSmallestSubnormalTiesToZero", 0x1p-134, 0x0000},
        RoundingCase{"AboveHalfSmallestSubnormal", 0x1p-134 + 0x1p-154, 0x0001},
        RoundingCase{"SubnormalTieToEvenUp", 0x1p-133 * 1.5, 0x0002},
        RoundingCase{"SubnormalTieToEvenDown", 0x1p-133 * 2.5, 0x0002},
        RoundingCase{"SubnormalAboveTie", 0x1p-133 * 2.5 + 0x1p-150, 0x0003},
        RoundingCase{"LowestSubnormalExponentBand", 0x1p-141, 0x0000},
        RoundingCase{"BelowSubnormalBandPositive", 0x1p-142, 0x0000},
        RoundingCase{"BelowSubnormalBandNegative", -0x1p-142, 0x8000},
        RoundingCase{"DoubleDenormal", from_bits(1), 0x0000}),
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

TEST(SizeSketchCandidate, HalfUnitAndWeightThousand) {
  const double value = candidate(scaled_weight(1000), 0.5);
  EXPECT_EQ(value, 1999.9999999999998);
  EXPECT_EQ(double_to_bfloat16(value), 0x44FA);
}

TEST(SizeSketchCandidate, EdgesOfTheUnitInterval) {
  EXPECT_EQ(std::bit_cast<uint64_t>(size_sketch_internal::kNegativeLn4), 0xbff62e42fefa39efu);
  // u = 0: +0.0; u = 1: -infinity; weight 0: NaN at u = 1.
  const double at_zero = candidate(scaled_weight(1000), 0.0);
  EXPECT_EQ(at_zero, 0.0);
  EXPECT_FALSE(std::signbit(at_zero));
  EXPECT_EQ(candidate(scaled_weight(1000), 1.0), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(candidate(scaled_weight(0), 1.0)));
  EXPECT_EQ(size_sketch_internal::unit_from_hash(UINT64_MAX), 1.0);
  EXPECT_EQ(size_sketch_internal::unit_from_hash(0), 0.0);
  EXPECT_EQ(size_sketch_internal::unit_from_hash(uint64_t{1} << 63), 0.5);
}

struct SaturationCase {
  double value;
  uint64_t expected;
};

TEST(SizeSketchCandidate, ConversionToU64TruncatesAndSaturates) {
  const SaturationCase cases[] = {
      {0.0, 0},
      {-0.0, 0},
      {2.5, 2},
      {0.999, 0},
      {-1.0, 0},
      {-std::numeric_limits<double>::infinity(), 0},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {0x1p64 - 0x1p11, 0xFFFFFFFFFFFFF800},
      {0x1p64, UINT64_MAX},
      {std::numeric_limits<double>::infinity(), UINT64_MAX},
  };
  for (const SaturationCase& c : cases) {
    EXPECT_EQ(size_sketch_internal::saturating_to_u64(c.value), c.expected) << c.value;
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
        SlotsCase{"LargestBelowTwoToThe64", {0x5F7F, 0x5F7F, 0x7F80, 0x7F80, 0x7F80, 0x7F80, 0x7F80},
                  0xFF00000000000000}),
    [](const ::testing::TestParamInfo<SlotsCase>& info) { return std::string(info.param.name); });

template <size_t K>
void expect_rank_selected() {
  // Slots holding the integers 0..K-1 in a scrambled order: rank K/4 reads K/4.
  std::array<uint16_t, K> slots;
  for (size_t i = 0; i < K; ++i) slots[i] = double_to_bfloat16(static_cast<double>((i * 5 + 3) % K));
  EXPECT_EQ(SizeSketch<K>::from_slots(slots).estimate(), K / 4) << "K=" << K;
}

TEST(SizeSketchEstimate, ReadsRankQuarterOfK) {
  expect_rank_selected<7>();
  expect_rank_selected<31>();
  expect_rank_selected<127>();
}

// ---- Sketch behaviour, for every K in use -----------------------------------

template <class Sketch>
class SizeSketchTyped : public ::testing::Test {};

using SketchTypes = ::testing::Types<SizeSketch<7>, SizeSketch<31>, SizeSketch<127>>;
TYPED_TEST_SUITE(SizeSketchTyped, SketchTypes);

template <class Sketch>
Sketch sketch_of(uint64_t first_key, uint64_t count, uint64_t weight) {
  Sketch sketch = Sketch::empty();
  for (uint64_t key = first_key; key < first_key + count; ++key) sketch.add_in_place(key, weight);
  return sketch;
}

TYPED_TEST(SizeSketchTyped, EmptyHasZeroSlotsAndEstimatesZero) {
  const TypeParam sketch = TypeParam::empty();
  for (uint16_t slot : sketch.slots()) EXPECT_EQ(slot, 0);
  EXPECT_EQ(sketch.estimate(), 0u);
  EXPECT_EQ(TypeParam(), sketch);
}

TYPED_TEST(SizeSketchTyped, ZeroWeightChangesNothing) {
  TypeParam sketch = sketch_of<TypeParam>(0, 3, 50);
  const TypeParam before = sketch;
  for (uint64_t key : {0ull, 7ull, 1000ull, ~0ull}) sketch.add_in_place(key, 0);
  EXPECT_EQ(sketch, before);
}

TYPED_TEST(SizeSketchTyped, RepeatedAddAndSelfIncludeAreIdempotent) {
  TypeParam sketch = sketch_of<TypeParam>(10, 20, 123);
  const TypeParam before = sketch;
  sketch.add_in_place(15, 123);
  EXPECT_EQ(sketch, before);
  sketch.include(sketch);
  EXPECT_EQ(sketch, before);
  TypeParam copy = before;
  sketch.include(copy);
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

TYPED_TEST(SizeSketchTyped, MergeIsCommutativeAndOrderFree) {
  const TypeParam a = sketch_of<TypeParam>(0, 40, 9);
  const TypeParam b = sketch_of<TypeParam>(30, 40, 1000);
  const TypeParam c = sketch_of<TypeParam>(500, 5, 77777);
  TypeParam ab = a;
  ab.include(b);
  TypeParam ba = b;
  ba.include(a);
  EXPECT_EQ(ab, ba);
  TypeParam ab_c = ab;
  ab_c.include(c);
  TypeParam bc = b;
  bc.include(c);
  TypeParam a_bc = a;
  a_bc.include(bc);
  EXPECT_EQ(ab_c, a_bc);
  // Merging equals adding every keyed weight to one sketch; overlapping keys
  // (30..39, added with both weights) count once with the larger weight.
  TypeParam direct = sketch_of<TypeParam>(0, 40, 9);
  for (uint64_t key = 30; key < 70; ++key) direct.add_in_place(key, 1000);
  EXPECT_EQ(ab, direct);
}

TYPED_TEST(SizeSketchTyped, EstimateTracksTotalWeight) {
  // Deterministic given the hash; a loose band that any sound sketch meets.
  const TypeParam sketch = sketch_of<TypeParam>(0, 2000, 50);
  const double estimate = static_cast<double>(sketch.estimate());
  EXPECT_GT(estimate, 100000 * 0.4);
  EXPECT_LT(estimate, 100000 * 2.5);
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
  constexpr size_t K = std::tuple_size_v<std::remove_cvref_t<decltype(TypeParam().slots())>>;
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

TEST(SizeSketchPinned, KeyZeroWeightThousandSlotsForSevenSlots) {
  auto sketch = SizeSketch<7>::empty();
  sketch.add_in_place(0, 1000);
  const std::array<uint16_t, 7> expected = {0x45D4, 0x4438, 0x45C2, 0x44CE, 0x46A9, 0x44D1, 0x43A0};
  EXPECT_EQ(sketch.slots(), expected);
  EXPECT_EQ(bfloat16_to_double(sketch.slots()[4]), 21632.0);
  EXPECT_EQ(sketch.estimate(), 736u);
}

template <size_t K>
uint64_t single_key_estimate() {
  auto sketch = SizeSketch<K>::empty();
  sketch.add_in_place(0, 1000);
  return sketch.estimate();
}

TEST(SizeSketchPinned, KeyZeroWeightThousandEstimates) {
  EXPECT_EQ(single_key_estimate<7>(), 736u);
  EXPECT_EQ(single_key_estimate<31>(), 960u);
  EXPECT_EQ(single_key_estimate<127>(), 972u);
}

TEST(SizeSketchPinned, HundredKeysOfWeightTenEstimates) {
  EXPECT_EQ((sketch_of<SizeSketch<7>>(0, 100, 10).estimate()), 804u);
  EXPECT_EQ((sketch_of<SizeSketch<31>>(0, 100, 10).estimate()), 876u);
  EXPECT_EQ((sketch_of<SizeSketch<127>>(0, 100, 10).estimate()), 996u);
}

}  // namespace
}  // namespace vossick
