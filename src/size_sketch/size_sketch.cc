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

uint16_t double_to_bfloat16(double value) noexcept {
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
    // The carry may run into the exponent, up to infinity.
    if ((fraction & 0x1000) != 0 && (fraction & 0x2FFF) != 0) ++result;
    return result;
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

namespace size_sketch_internal {

double scaled_weight(uint64_t weight) noexcept {
  return static_cast<double>(weight) * kNegativeLn4;
}

double candidate(double scaled, double u) noexcept {
  const double log_u = std::log(u);
  return scaled / log_u;
}

uint64_t slot_hash(uint64_t slot_index, uint64_t key) noexcept {
  unsigned char input[16];
  for (int byte = 0; byte < 8; ++byte) {
    input[byte] = static_cast<unsigned char>(slot_index >> (8 * byte));
    input[8 + byte] = static_cast<unsigned char>(key >> (8 * byte));
  }
  return XXH3_64bits(input, sizeof input);
}

double unit_from_hash(uint64_t hash) noexcept {
  return static_cast<double>(hash) * 0x1p-64;
}

uint64_t saturating_to_u64(double value) noexcept {
  if (!(value >= 0.0)) return 0;  // NaN and negatives
  if (value >= 0x1p64) return UINT64_MAX;
  return static_cast<uint64_t>(value);
}

}  // namespace size_sketch_internal

template <size_t K>
void SizeSketch<K>::add_in_place(uint64_t key, uint64_t weight) noexcept {
  namespace internal = size_sketch_internal;
  // A zero weight yields only zero, NaN or negative candidates, none of which
  // can beat a slot; skipping the hashing changes nothing.
  if (weight == 0) return;
  const double scaled = internal::scaled_weight(weight);
  // Most candidates lose to slots that already hold the weight of much of the
  // graph. Since -ln u >= 1 - u, a slot s > 0 with (1 - u)·s >= -scaled
  // proves scaled / log(u) < s, and rounding cannot lift it above s, so the
  // logarithm is skipped. The factor 1 + 2^-20 absorbs the rounding errors of
  // this test and of log, which together stay far below 2^-20. The test is
  // false for zero, negative and NaN slots and for u = 1, which take the
  // exact path.
  const double skip_bound = -scaled * (1.0 + 0x1p-20);
  for (size_t i = 0; i < K; ++i) {
    const double u = internal::unit_from_hash(internal::slot_hash(i, key));
    const double slot = bfloat16_to_double(slots_[i]);
    if ((1.0 - u) * slot >= skip_bound) continue;
    const uint16_t rounded = double_to_bfloat16(internal::candidate(scaled, u));
    if (internal::bfloat16_to_float(rounded) > internal::bfloat16_to_float(slots_[i])) {
      slots_[i] = rounded;
    }
  }
}

template <size_t K>
uint64_t SizeSketch<K>::estimate() const noexcept {
  namespace internal = size_sketch_internal;
  std::array<uint16_t, K> keys;
  for (size_t i = 0; i < K; ++i) keys[i] = internal::total_order_key(slots_[i]);
  auto selected = keys.begin() + K / 4;
  std::nth_element(keys.begin(), selected, keys.end());
  const double value = bfloat16_to_double(internal::from_total_order_key(*selected));
  return internal::saturating_to_u64(value);
}

template class SizeSketch<7>;
template class SizeSketch<31>;
template class SizeSketch<127>;

}  // namespace vossick
