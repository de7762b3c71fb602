// Fast paths that must give exactly the results of the plain computation.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "size_sketch/size_sketch.h"

namespace vossick {
namespace {

uint64_t plain_slot_hash(uint64_t slot_index, uint64_t key) {
  unsigned char input[16];
  for (int byte = 0; byte < 8; ++byte) {
    input[byte] = static_cast<unsigned char>(slot_index >> (8 * byte));
    input[8 + byte] = static_cast<unsigned char>(key >> (8 * byte));
  }
  return XXH3_64bits(input, sizeof input);
}

TEST(SlotHashTest, MatchesXxh3OfTheSixteenBytes) {
  const uint64_t edges[] = {0, 1, 7, 8, 126, 127, 0xFF, 0x100, uint64_t{1} << 32, uint64_t{1} << 63,
                            ~uint64_t{0}, ~uint64_t{0} - 1};
  for (uint64_t slot : edges) {
    for (uint64_t key : edges) {
      EXPECT_EQ(size_sketch_internal::slot_hash(slot, key), plain_slot_hash(slot, key)) << slot << " " << key;
    }
  }
  std::mt19937_64 random(7);
  for (int round = 0; round < 20000; ++round) {
    const uint64_t slot = round % 2 ? random() % 127 : random();
    const uint64_t key = random() >> (random() % 64);
    ASSERT_EQ(size_sketch_internal::slot_hash(slot, key), plain_slot_hash(slot, key)) << slot << " " << key;
  }
}

TEST(UnitFromHashTest, ConvertsLikeTheCompilersUnsignedConversion) {
  // Ties at the rounding position (bit 11 for values with the top bit set,
  // lower for smaller ones), values just around 2^63 and 2^64, and random ones.
  const uint64_t edges[] = {0, 1, (uint64_t{1} << 53) + 1, (uint64_t{1} << 54) + 2, (uint64_t{1} << 62) - 1,
                            (uint64_t{1} << 63) - 1, uint64_t{1} << 63, (uint64_t{1} << 63) + 1,
                            (uint64_t{1} << 63) + 0x400, (uint64_t{1} << 63) + 0xC00, (uint64_t{1} << 63) + 0x401,
                            ~uint64_t{0} - 0x400, ~uint64_t{0} - 0x3FF, ~uint64_t{0}};
  for (uint64_t hash : edges) {
    EXPECT_EQ(size_sketch_internal::unit_from_hash(hash), static_cast<double>(hash) * 0x1p-64) << hash;
  }
  std::mt19937_64 random(3);
  for (int round = 0; round < 100000; ++round) {
    uint64_t hash = random() >> (random() % 16);
    if (round % 4 == 0) hash = (hash & ~uint64_t{0x7FF}) | 0x400;  // an exact tie
    ASSERT_EQ(size_sketch_internal::unit_from_hash(hash), static_cast<double>(hash) * 0x1p-64) << hash;
  }
}

// The estimate the long way: sort all slots in the total order, take rank K/4.
template <size_t K>
uint64_t sorted_estimate(const std::array<uint16_t, K>& slots) {
  std::array<uint16_t, K> keys;
  for (size_t i = 0; i < K; ++i) keys[i] = size_sketch_internal::total_order_key(slots[i]);
  std::sort(keys.begin(), keys.end());
  return size_sketch_internal::saturating_to_u64(
      bfloat16_to_double(size_sketch_internal::from_total_order_key(keys[K / 4])));
}

template <class Sketch>
class EstimateSelectionTest : public ::testing::Test {};
using Sketches = ::testing::Types<SizeSketch<7>, SizeSketch<31>, SizeSketch<127>>;
TYPED_TEST_SUITE(EstimateSelectionTest, Sketches);

TYPED_TEST(EstimateSelectionTest, MatchesTheSortedSlotOfRankKOverFour) {
  constexpr size_t K = std::tuple_size_v<std::remove_cvref_t<decltype(TypeParam().slots())>>;
  std::mt19937_64 random(11);
  // Patterns drawn from few values (many ties, ties across the bucket
  // boundary), from the whole 16-bit range (negatives, NaN, infinities) and
  // from typical positive estimates.
  const uint16_t few[] = {0x0000, 0x8000, 0x44FA, 0x44FB, 0x4500, 0x7F80, 0x7FC0, 0xFF80, 0x00FF, 0x0100};
  for (int round = 0; round < 3000; ++round) {
    std::array<uint16_t, K> slots;
    for (uint16_t& slot : slots) {
      switch (round % 3) {
        case 0: slot = few[random() % std::size(few)]; break;
        case 1: slot = static_cast<uint16_t>(random()); break;
        default: slot = static_cast<uint16_t>(0x4000 + random() % 0x0F00);
      }
    }
    ASSERT_EQ(TypeParam::from_slots(slots).estimate(), sorted_estimate<K>(slots)) << "round " << round;
  }
}

}  // namespace
}  // namespace vossick
