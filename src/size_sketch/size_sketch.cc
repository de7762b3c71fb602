// Stored estimates depend on every floating-point step below being one IEEE
// operation rounded to nearest: this file must not be built with -ffast-math
// or similar flags. No step has the a·b + c shape that FMA contraction could
// fuse.
#include "size_sketch/size_sketch.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vossick {

namespace {

// The exported functions below are called through the PIC module's symbol
// table, which keeps the compiler from inlining them; add_in_place and
// estimate use these internal copies instead.
inline uint16_t round_to_bfloat16(double value) noexcept {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const uint32_t upper = static_cast<uint32_t>(bits >> 32);
  const uint32_t lower = static_cast<uint32_t>(bits);
  const uint16_t sign = static_cast<uint16_t>((upper >> 16) & 0x8000);
  const uint32_t exponent = (upper >> 20) & 0x7FF;
  const uint32_t fraction = upper & 0xFFFFF;  // upper 20 fraction bits

  if (exponent == 2047) {
    uint16_t result = static_cast<uint16_t>(sign | 0x7F80 | (fraction >> 13));
    if (fraction != 0 || lower != 0) result |= 0x40;  // keep a NaN a NaN
    return result;
  }
  if (exponent > 1150) return static_cast<uint16_t>(sign | 0x7F80);
  if (exponent >= 897) {
    uint16_t result = static_cast<uint16_t>(sign | ((exponent - 896) << 7) | (fraction >> 13));
    // Round bit 12; sticky bits 0-11; bit 13 is the kept lowest bit (ties to even).
    // The carry may run into the exponent, up to infinity. Written without a
    // branch: the round bit of a hashed value is a coin flip.
    const uint32_t round_up = ((fraction >> 12) & 1) & static_cast<uint32_t>((fraction & 0x2FFF) != 0);
    return static_cast<uint16_t>(result + round_up);
  }
  if (exponent >= 882) {
    const uint32_t shift = 14 + (896 - exponent);  // 14 to 28
    const uint32_t significand = fraction | 0x100000;
    uint16_t result = static_cast<uint16_t>(sign | (significand >> shift));
    const bool round_bit = ((significand >> (shift - 1)) & 1) != 0;
    const bool sticky = (significand & ((1u << (shift - 1)) - 1)) != 0;
    const bool odd = ((significand >> shift) & 1) != 0;
    if (round_bit && (sticky || odd)) ++result;
    return result;
  }
  return sign;
}

inline double candidate_of(double scaled, double u) noexcept {
  const double log_u = std::log(u);
  return scaled / log_u;
}

// (double)hash rounds to nearest, ties to even. Without AVX-512 the compiler
// converts an unsigned 64-bit value through a branch on its top bit, which a
// hash sets half the time; here both conversions are made and one is
// selected. For a top bit set, halving with the lost bit kept as a sticky bit
// gives the same rounding (the value has 64 significant bits, so bit 0 is
// below the rounding position either way).
inline double exact_u64_to_double(uint64_t value) noexcept {
  const double low_range = static_cast<double>(static_cast<int64_t>(value & INT64_MAX));
  const double halved = static_cast<double>(static_cast<int64_t>((value >> 1) | (value & 1)));
  const double high_range = halved + halved;
  const uint64_t take_high = uint64_t{0} - (value >> 63);
  return std::bit_cast<double>((std::bit_cast<uint64_t>(low_range) & ~take_high) |
                               (std::bit_cast<uint64_t>(high_range) & take_high));
}

inline double unit_of(uint64_t hash) noexcept { return exact_u64_to_double(hash) * 0x1p-64; }

inline uint64_t truncate_to_u64(double value) noexcept {
  if (!(value >= 0.0)) return 0;  // NaN and negatives
  if (value >= 0x1p64) return UINT64_MAX;
  return static_cast<uint64_t>(value);
}

}  // namespace

uint16_t double_to_bfloat16(double value) noexcept { return round_to_bfloat16(value); }

namespace size_sketch_internal {

double scaled_weight(uint64_t weight) noexcept {
  return static_cast<double>(weight) * kNegativeLn4;
}

double candidate(double scaled, double u) noexcept { return candidate_of(scaled, u); }

namespace {

// XXH3-64 with seed 0 and the default secret takes, for a 16-byte input, the
// 9-to-16-byte path: two 8-byte words, each XORed with a constant drawn from
// the secret, folded and avalanched. Here the first word is the slot index and
// the second the key, so a sketch update prepares the key's word once and
// spends a multiplication and a few shifts per slot instead of a full call.
// SlotHashTest pins this against XXH3_64bits.
// The flips are read from the secret at each use rather than kept in globals,
// so no static initialisation order is involved; the reads are a few loads.
inline uint64_t prepared_key(uint64_t key) noexcept {
  return key ^ (XXH_readLE64(XXH3_kSecret + 40) ^ XXH_readLE64(XXH3_kSecret + 48));
}

inline uint64_t slot_hash_of_prepared(uint64_t slot_index, uint64_t key_word) noexcept {
  const uint64_t index_word = slot_index ^ (XXH_readLE64(XXH3_kSecret + 24) ^ XXH_readLE64(XXH3_kSecret + 32));
  const uint64_t acc = 16 + XXH_swap64(index_word) + key_word + XXH3_mul128_fold64(index_word, key_word);
  return XXH3_avalanche(acc);
}

}  // namespace

uint64_t slot_hash(uint64_t slot_index, uint64_t key) noexcept {
  return slot_hash_of_prepared(slot_index, prepared_key(key));
}

double unit_from_hash(uint64_t hash) noexcept { return unit_of(hash); }

uint64_t saturating_to_u64(double value) noexcept { return truncate_to_u64(value); }

}  // namespace size_sketch_internal

template <size_t K>
void SizeSketch<K>::add_in_place(uint64_t key, uint64_t weight) noexcept {
  namespace internal = size_sketch_internal;
  // A zero weight yields only zero, NaN or negative candidates, none of which
  // can beat a slot; skipping the hashing changes nothing.
  if (weight == 0) return;
  const double scaled = static_cast<double>(weight) * internal::kNegativeLn4;
  // Most candidates lose to slots that already hold the weight of much of the
  // graph. Since -ln u >= 1 - u, a slot s > 0 with (1 - u)·s >= -scaled
  // proves scaled / log(u) < s, and rounding cannot lift it above s, so the
  // logarithm is skipped. The factor 1 + 2^-20 absorbs the rounding errors of
  // this test and of log, which together stay far below 2^-20. The test is
  // false for zero, negative and NaN slots and for u = 1, which take the
  // exact path.
  const double skip_bound = -scaled * (1.0 + 0x1p-20);
  const uint64_t key_word = internal::prepared_key(key);
  for (size_t i = 0; i < K; ++i) {
    const double u = unit_of(internal::slot_hash_of_prepared(i, key_word));
    const double slot = bfloat16_to_double(slots_[i]);
    if ((1.0 - u) * slot >= skip_bound) continue;
    const uint16_t rounded = round_to_bfloat16(candidate_of(scaled, u));
    if (internal::bfloat16_to_float(rounded) > internal::bfloat16_to_float(slots_[i])) {
      slots_[i] = rounded;
    }
  }
}

template <size_t K>
uint64_t SizeSketch<K>::estimate() const noexcept {
  namespace internal = size_sketch_internal;
  // Rank K/4 in the total order is the smallest order key v with more than
  // K/4 keys at or below v; a binary search over [min, max] finds it with a
  // counting pass per step, which the compiler turns into vector compares.
  // Equal to a full sort's element K/4.
  // Keys are kept as int16 (order key minus 2^15) so a step is one signed
  // compare per lane, and counts stay in 16-bit lanes (at most 128).
  constexpr size_t kPadded = (K + 15) / 16 * 16;
  int16_t keys[kPadded];
  int16_t low = INT16_MAX;
  int16_t high = INT16_MIN;
  for (size_t i = 0; i < K; ++i) {
    keys[i] = static_cast<int16_t>(internal::total_order_key(slots_[i]) ^ 0x8000);
    low = std::min(low, keys[i]);
    high = std::max(high, keys[i]);
  }
  // Padding counts only at INT16_MAX, and every probe is below `high`.
  for (size_t i = K; i < kPadded; ++i) keys[i] = INT16_MAX;
  constexpr uint16_t kRank = K / 4;
  while (low < high) {
    const int16_t middle = static_cast<int16_t>((static_cast<int32_t>(low) + high) >> 1);
    uint16_t at_or_below = 0;
    for (size_t i = 0; i < kPadded; ++i) at_or_below = static_cast<uint16_t>(at_or_below + (keys[i] <= middle));
    if (at_or_below > kRank) {
      high = middle;
    } else {
      low = static_cast<int16_t>(middle + 1);
    }
  }
  const uint16_t selected = static_cast<uint16_t>(static_cast<uint16_t>(low) ^ 0x8000);
  return truncate_to_u64(bfloat16_to_double(internal::from_total_order_key(selected)));
}

template class SizeSketch<7>;
template class SizeSketch<31>;
template class SizeSketch<127>;

}  // namespace vossick
