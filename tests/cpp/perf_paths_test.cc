// Fast paths that must give exactly the results of the plain computation.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "subtree_sizes/size_sketch/size_sketch.h"

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
  const uint64_t edges[] = {
      0, 1, 7, 8, 126, 127, 0xFF, 0x100, uint64_t{1} << 32, uint64_t{1} << 63, ~uint64_t{0}, ~uint64_t{0} - 1};
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
  const uint64_t edges[] = {0,
                            1,
                            (uint64_t{1} << 53) + 1,
                            (uint64_t{1} << 54) + 2,
                            (uint64_t{1} << 62) - 1,
                            (uint64_t{1} << 63) - 1,
                            uint64_t{1} << 63,
                            (uint64_t{1} << 63) + 1,
                            (uint64_t{1} << 63) + 0x400,
                            (uint64_t{1} << 63) + 0xC00,
                            (uint64_t{1} << 63) + 0x401,
                            ~uint64_t{0} - 0x400,
                            ~uint64_t{0} - 0x3FF,
                            ~uint64_t{0}};
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

using UnitCandidates = void (*)(const double*, double, uint16_t*, uint8_t*, size_t) noexcept;
using SlotCandidates = void (*)(uint64_t, double, const uint16_t*, double, uint16_t*, uint8_t*, size_t) noexcept;

struct LanesCase {
  const char* name;
  UnitCandidates from_units;
  SlotCandidates from_key;
  bool (*available)() noexcept;
};

bool always() noexcept { return true; }
void PrintTo(const LanesCase& c, std::ostream* os) { *os << c.name; }

uint16_t exact_rounded(double scaled, double u) {
  return double_to_bfloat16(size_sketch_internal::candidate(scaled, u));
}

class CandidateLanesTest : public ::testing::TestWithParam<LanesCase> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "the CPU lacks the instructions of this build";
  }

  // Runs the lanes over `units`, checks every lane they are sure of against
  // the exact candidate, and returns how many that was.
  size_t check_units(std::vector<double> units, uint64_t weight) {
    const double scaled = size_sketch_internal::scaled_weight(weight);
    const size_t count = units.size();
    while (units.size() % 8 != 0) units.push_back(0.5);
    std::vector<uint16_t> rounded(units.size());
    std::vector<uint8_t> sure(units.size());
    GetParam().from_units(units.data(), scaled, rounded.data(), sure.data(), units.size());
    size_t sure_count = 0;
    for (size_t j = 0; j < count; ++j) {
      if (!sure[j]) continue;
      ++sure_count;
      EXPECT_EQ(rounded[j], exact_rounded(scaled, units[j])) << "u " << units[j] << " weight " << weight;
    }
    return sure_count;
  }
};

uint64_t random_weight(std::mt19937_64& random) {
  const uint64_t weights[] = {1, 2, 3, 1000, uint64_t{1} << 53, UINT64_MAX};
  const uint64_t weight = random() % 2 ? weights[random() % std::size(weights)] : random() >> (random() % 64);
  return weight == 0 ? 1 : weight;
}

TEST_P(CandidateLanesTest, SureSlotsRoundLikeTheExactCandidate) {
  namespace internal = size_sketch_internal;
  std::mt19937_64 random(5);
  size_t sure_count = 0;
  size_t slots = 0;
  for (int round = 0; round < 2000; ++round) {
    const uint64_t key = random() % 3 == 0 ? random() % 100 : random();
    const double scaled = internal::scaled_weight(random_weight(random));
    uint16_t rounded[128];
    uint8_t sure[128];
    GetParam().from_key(key, scaled, nullptr, 0.0, rounded, sure, 128);
    for (size_t i = 0; i < 128; ++i) {
      if (!sure[i]) continue;
      ++sure_count;
      ASSERT_EQ(rounded[i], exact_rounded(scaled, internal::unit_from_hash(internal::slot_hash(i, key))))
          << "key " << key << " slot " << i;
    }
    slots += 128;
  }
  // Nearly every slot is settled without the exact logarithm.
  EXPECT_GT(sure_count, slots * 99 / 100);
}

TEST_P(CandidateLanesTest, SureUnitsRoundLikeTheExactCandidate) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 400; ++round) {
    std::vector<double> units;
    for (int j = 0; j < 250; ++j) {
      units.push_back(size_sketch_internal::unit_from_hash(random() >> (random() % 3 == 0 ? random() % 64 : 0)));
    }
    // The ends of the interval: 0, 1, and the doubles just below 1.
    units.insert(units.end(), {0.0, 1.0, 1.0 - 0x1p-53, 1.0 - 0x1p-52, 0x1p-64, std::nextafter(0.5, 1.0)});
    check_units(units, random_weight(random));
  }
}

// u aimed so that the exact candidate falls on or next to a bfloat16
// rounding boundary: the lanes must either round alike or leave it.
TEST_P(CandidateLanesTest, UnitsAtRoundingBoundariesRoundAlikeOrStepAside) {
  namespace internal = size_sketch_internal;
  std::mt19937_64 random(9);
  size_t lanes = 0;
  size_t sure = 0;
  for (int round = 0; round < 300; ++round) {
    const uint64_t weight = 1 + (random() >> (random() % 64));
    const double scaled = internal::scaled_weight(weight);
    // A midpoint between two bfloat16 values above the weight's own scale.
    const double low = bfloat16_to_double(static_cast<uint16_t>(double_to_bfloat16(-scaled) + 1 + random() % 2000));
    const double target = std::bit_cast<double>(std::bit_cast<uint64_t>(low) | (uint64_t{1} << 44));
    const double u0 = std::exp(scaled / target);
    std::vector<double> units;
    for (int step = -40; step <= 40; ++step) units.push_back(u0 + step * std::max(0x1p-60, u0 * 0x1p-52));
    sure += check_units(units, weight);
    lanes += units.size();
  }
  EXPECT_LT(sure, lanes);  // some lanes were close enough to need the exact path
}

// Only the portable build exists on targets other than x86.
const LanesCase kBuilds[] = {
    {"Portable", size_sketch_internal::unit_candidates_portable, size_sketch_internal::slot_candidates_portable,
     always},
#if VOSSICK_SIZE_SKETCH_X86
    {"Avx2", size_sketch_internal::unit_candidates_avx2, size_sketch_internal::slot_candidates_avx2,
     size_sketch_internal::have_avx2},
    {"Avx512", size_sketch_internal::unit_candidates_avx512, size_sketch_internal::slot_candidates_avx512,
     size_sketch_internal::have_avx512},
#endif
};

INSTANTIATE_TEST_SUITE_P(Builds, CandidateLanesTest, ::testing::ValuesIn(kBuilds),
                         [](const auto& info) { return std::string(info.param.name); });

#if VOSSICK_SIZE_SKETCH_X86

// Every build against the portable one, without skipping and with slots
// that make whole steps skip (the builds group slots differently there, so
// only the candidates they compute are compared), for every padded length.
TEST(CandidateLanesBuildsTest, AgreeBitForBit) {
  namespace internal = size_sketch_internal;
  const std::pair<SlotCandidates, bool> builds[] = {{internal::slot_candidates_avx2, internal::have_avx2()},
                                                    {internal::slot_candidates_avx512, internal::have_avx512()}};
  if (!internal::have_avx2()) GTEST_SKIP() << "no AVX2 on this CPU";
  std::mt19937_64 random(3);
  for (int round = 0; round < 500; ++round) {
    const uint64_t key = random();
    const double scaled = internal::scaled_weight(random_weight(random));
    const size_t n = std::array<size_t, 3>{8, 32, 128}[round % 3];
    uint16_t slots[128];
    for (uint16_t& slot : slots) slot = random() % 4 == 0 ? 0 : double_to_bfloat16(-scaled * (1 << (random() % 8)));
    for (const uint16_t* given : {static_cast<const uint16_t*>(nullptr), static_cast<const uint16_t*>(slots)}) {
      uint16_t rounded[3][128];
      uint8_t sure[3][128];
      internal::slot_candidates_portable(key, scaled, given, -scaled, rounded[0], sure[0], n);
      for (size_t b = 0; b < std::size(builds); ++b) {
        if (!builds[b].second) continue;
        builds[b].first(key, scaled, given, -scaled, rounded[b + 1], sure[b + 1], n);
        for (size_t i = 0; i < n; ++i) {
          const bool skipped =
              given != nullptr && ((rounded[0][i] == 0 && sure[0][i]) || (rounded[b + 1][i] == 0 && sure[b + 1][i]));
          if (skipped) continue;
          ASSERT_EQ(sure[0][i], sure[b + 1][i]) << "build " << b << " slot " << i;
          if (sure[0][i]) {
            ASSERT_EQ(rounded[0][i], rounded[b + 1][i]) << "build " << b << " slot " << i;
          }
        }
      }
    }
  }
}
#endif  // VOSSICK_SIZE_SKETCH_X86

}  // namespace
}  // namespace vossick
