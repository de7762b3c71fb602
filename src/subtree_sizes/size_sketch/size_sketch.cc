// Stored estimates depend on every floating-point step below being one IEEE
// operation rounded to nearest: this file must not be built with -ffast-math
// or similar flags, and is built with -ffp-contract=off (CMakeLists.txt),
// since the vector lanes have a·b + c steps that GCC would otherwise fuse
// wherever the target has FMA (every aarch64 CPU, x86 in the AVX-512 build).
// The exact scalar path has no such step.
#include "subtree_sizes/size_sketch/size_sketch.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace vossick {

namespace {

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

}  // namespace

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

namespace size_sketch_internal {

double scaled_weight(uint64_t weight) noexcept { return static_cast<double>(weight) * kNegativeLn4; }

double candidate(double scaled, double u) noexcept {
  const double log_u = std::log(u);
  return scaled / log_u;
}

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

double unit_from_hash(uint64_t hash) noexcept { return exact_u64_to_double(hash) * 0x1p-64; }

uint64_t saturating_to_u64(double value) noexcept {
  if (!(value >= 0.0)) return 0;  // NaN and negatives
  if (value >= 0x1p64) return UINT64_MAX;
  return static_cast<uint64_t>(value);
}

}  // namespace size_sketch_internal

namespace size_sketch_internal {

namespace {

using Doubles = double __attribute__((vector_size(32)));
using Words = uint64_t __attribute__((vector_size(32)));
constexpr size_t kLanes = 4;

// The steps below work on four slots at a time in GCC vector types, which
// the compiler maps onto whatever vector unit the target has (SSE2, NEON) or
// onto scalar steps. Each function that uses them is built for the target's
// baseline instruction set (the portable build) and, on x86 only, again for
// AVX2 and for AVX-512 (still four lanes: it brings 64-bit multiplies and
// narrowing stores, while eight-lane vectors measured slower); one is chosen
// at run time. Integer steps are exact; the floating-point ones are single
// IEEE operations, so every build agrees bit for bit. The helpers are always
// inlined, so how a vector argument would be passed between them never
// matters (the -Wpsabi note is off for this file).

// u = (double)hash · 2^-64 for four hashes, rounded like the scalar
// conversion: the two 32-bit halves convert exactly, and one addition rounds
// their exact sum.
__attribute__((always_inline)) inline Doubles units_of_hashes(Words hash) noexcept {
  constexpr uint64_t kTwoTo52Bits = 0x4330000000000000u;
  const Doubles high = __builtin_bit_cast(Doubles, (hash >> 32) | kTwoTo52Bits) - 0x1p52;
  const Doubles low = __builtin_bit_cast(Doubles, (hash & 0xFFFFFFFFu) | kTwoTo52Bits) - 0x1p52;
  return (high * 0x1p32 + low) * 0x1p-64;
}

// The slot hashes of slots first..first+3 for a prepared key: the scalar
// slot_hash_of_prepared in four lanes. The slot index is below 256, so the
// index word's upper half, and its byte swap's lower 56 bits, are those of
// the constant it is XORed with.
__attribute__((always_inline)) inline Words slot_hashes(uint64_t first, uint64_t key_word) noexcept {
  const uint64_t flip = XXH_readLE64(XXH3_kSecret + 24) ^ XXH_readLE64(XXH3_kSecret + 32);
  const Words slot = Words{first, first + 1, first + 2, first + 3};
  const Words index_word = slot ^ flip;
  const Words swapped = (slot << 56) ^ XXH_swap64(flip);
  // index_word × key_word as 128 bits, folded: halves of 32 bits, of which
  // the index word's upper one is the same in every lane.
  const uint64_t key_low = key_word & 0xFFFFFFFFu;
  const uint64_t key_high = key_word >> 32;
  const uint64_t index_high = flip >> 32;
  const Words index_low = index_word & 0xFFFFFFFFu;
  const Words low_low = index_low * key_low;
  const Words low_high = index_low * key_high;
  const uint64_t high_low = index_high * key_low;
  const uint64_t high_high = index_high * key_high;
  const Words middle = (low_low >> 32) + (low_high & 0xFFFFFFFFu) + (high_low & 0xFFFFFFFFu);
  const Words product_low = (middle << 32) | (low_low & 0xFFFFFFFFu);
  const Words product_high = high_high + (low_high >> 32) + (high_low >> 32) + (middle >> 32);
  Words acc = 16 + swapped + key_word + (product_low ^ product_high);
  acc ^= acc >> 37;
  acc *= 0x165667919E3779F9u;
  acc ^= acc >> 32;
  return acc;
}

// For u in (0, 1): scaled / ln(u) with an approximate logarithm, rounded to
// bfloat16, and whether that surely equals the rounding of the exact
// candidate(scaled, u). ln u to within a relative 2^-43: u = 2^e·m with m in
// [√½, √2), and ln m = 2·atanh(s) with s = (m - 1)/(m + 1), |s| <= 0.1716,
// summed to s^15 (the remainder stays below 2^-45). Within a relative 2^-42
// of the exact candidate, the approximation is at most 2^11 units of the
// lowest bit away, far below the 2^32 units of the lower word the rounding
// ignores; so the two round alike unless the upper word sits within one unit
// of a rounding boundary (round bits 0x0FFF to 0x1001), or the exponent is
// near the edges where the rounding takes another path. Those lanes, and u of
// 0 or 1, are left to the exact path.
__attribute__((always_inline)) inline Words rounded_candidates(Doubles u, double scaled, Words& sure) noexcept {
  constexpr uint64_t kExponentOne = uint64_t{1023} << 52;
  constexpr uint64_t kSqrtTwoBits = 0x3FF6A09E667F3BCDu;  // √2
  const Words bits = __builtin_bit_cast(Words, u);
  Words exponent = (bits >> 52) - 1023;
  Words mantissa_bits = (bits & 0x000FFFFFFFFFFFFFu) | kExponentOne;
  const Words above = mantissa_bits > kSqrtTwoBits;  // all ones where m > √2
  mantissa_bits -= above & (uint64_t{1} << 52);      // halve m
  exponent -= above;                                 // for one more power of two
  const Doubles m = __builtin_bit_cast(Doubles, mantissa_bits);
  // The exponent (-64 to 0) as a double: biased into the low bits of 2^52.
  const Words biased = (exponent + 1024) | 0x4330000000000000u;
  const Doubles e = __builtin_bit_cast(Doubles, biased) - (0x1p52 + 1024.0);
  const Doubles f = m - 1.0;
  const Doubles s = f / (f + 2.0);
  const Doubles z = s * s;
  // 1/3 + z/5 + ... + z^6/15, in pairs so that the steps overlap.
  const Doubles z2 = z * z;
  const Doubles z4 = z2 * z2;
  const Doubles low = (1.0 / 3 + z * (1.0 / 5)) + z2 * (1.0 / 7 + z * (1.0 / 9));
  const Doubles high = (1.0 / 11 + z * (1.0 / 13)) + z2 * (1.0 / 15);
  const Doubles series = low + z4 * high;
  const Doubles log_m = 2.0 * s + (2.0 * s) * (z * series);
  const Doubles log_u = e * 0.69314718055994530942 + log_m;

  const Words q = __builtin_bit_cast(Words, scaled / log_u);
  const Words upper = q >> 32;
  const Words q_exponent = (upper >> 20) & 0x7FF;
  const Words fraction = upper & 0xFFFFF;
  const Words round_bits = upper & 0x1FFF;
  sure = (u > 0.0) & (u < 1.0) & (q_exponent >= 898) & (q_exponent <= 1149) &
         ((round_bits < 0x0FFF) | (round_bits > 0x1001));
  // double_to_bfloat16 on its path for positive normal results.
  const Words round_up = (fraction >> 12) & ((fraction & 0x2FFF) != 0) & 1;
  return (((q_exponent - 896) << 7) | (fraction >> 13)) + round_up;
}

// bfloat16 patterns as doubles, exactly: a bfloat16 is the upper half of a float.
__attribute__((always_inline)) inline Doubles doubles_of_bfloat16(const uint16_t* bits) noexcept {
  using Floats = float __attribute__((vector_size(16)));
  using Halves = uint32_t __attribute__((vector_size(16)));
  const Halves widened = Halves{bits[0], bits[1], bits[2], bits[3]} << 16;
  return __builtin_convertvector(__builtin_bit_cast(Floats, widened), Doubles);
}

// Four lanes' results into the output arrays. AVX-512 narrows a vector in
// one instruction; without it, lane-by-lane stores measured faster.
template <bool kNarrowingStores>
__attribute__((always_inline)) inline void store_lanes(Words lane_rounded, Words lane_sure, uint16_t* rounded,
                                                       uint8_t* sure) noexcept {
  if constexpr (kNarrowingStores) {
    using Shorts = uint16_t __attribute__((vector_size(8)));
    using Bytes = uint8_t __attribute__((vector_size(4)));
    const Shorts narrow_rounded = __builtin_convertvector(lane_rounded, Shorts);
    const Bytes narrow_sure = __builtin_convertvector(lane_sure & 1, Bytes);
    __builtin_memcpy(rounded, &narrow_rounded, sizeof narrow_rounded);
    __builtin_memcpy(sure, &narrow_sure, sizeof narrow_sure);
  } else {
    for (size_t lane = 0; lane < kLanes; ++lane) {
      rounded[lane] = static_cast<uint16_t>(lane_rounded[lane]);
      sure[lane] = static_cast<uint8_t>(lane_sure[lane] & 1);
    }
  }
}

template <bool kNarrowingStores>
__attribute__((always_inline)) inline void slot_candidates_in_lanes(uint64_t key_word, double scaled,
                                                                    const uint16_t* slots, double skip_bound,
                                                                    uint16_t* rounded, uint8_t* sure,
                                                                    size_t n) noexcept {
  // Two groups of four per step: each is a long chain of dependent steps,
  // and two chains keep the core busy.
  for (size_t j = 0; j < n; j += 2 * kLanes) {
    const Doubles units_a = units_of_hashes(slot_hashes(j, key_word));
    const Doubles units_b = units_of_hashes(slot_hashes(j + kLanes, key_word));
    if (slots != nullptr) {
      // Where every candidate of the step surely loses to its slot (see
      // add_in_place), the logarithms are skipped; +0 then loses too.
      const Words lose_a = (1.0 - units_a) * doubles_of_bfloat16(slots + j) >= skip_bound;
      const Words lose_b = (1.0 - units_b) * doubles_of_bfloat16(slots + j + kLanes) >= skip_bound;
      const Words all_lose = lose_a & lose_b;
      if ((all_lose[0] & all_lose[1] & all_lose[2] & all_lose[3]) != 0) {
        for (size_t lane = 0; lane < 2 * kLanes; ++lane) {
          rounded[j + lane] = 0;
          sure[j + lane] = 1;
        }
        continue;
      }
    }
    Words sure_a;
    Words sure_b;
    const Words rounded_a = rounded_candidates(units_a, scaled, sure_a);
    const Words rounded_b = rounded_candidates(units_b, scaled, sure_b);
    store_lanes<kNarrowingStores>(rounded_a, sure_a, rounded + j, sure + j);
    store_lanes<kNarrowingStores>(rounded_b, sure_b, rounded + j + kLanes, sure + j + kLanes);
  }
}

template <bool kNarrowingStores>
__attribute__((always_inline)) inline void unit_candidates_in_lanes(const double* u, double scaled, uint16_t* rounded,
                                                                    uint8_t* sure, size_t n) noexcept {
  for (size_t j = 0; j < n; j += kLanes) {
    Doubles lane_u;
    __builtin_memcpy(&lane_u, u + j, sizeof lane_u);
    Words lane_sure;
    const Words lane_rounded = rounded_candidates(lane_u, scaled, lane_sure);
    store_lanes<kNarrowingStores>(lane_rounded, lane_sure, rounded + j, sure + j);
  }
}

}  // namespace

void slot_candidates_portable(uint64_t key, double scaled, const uint16_t* slots, double skip_bound, uint16_t* rounded,
                              uint8_t* sure, size_t n) noexcept {
  slot_candidates_in_lanes<false>(prepared_key(key), scaled, slots, skip_bound, rounded, sure, n);
}

void unit_candidates_portable(const double* u, double scaled, uint16_t* rounded, uint8_t* sure, size_t n) noexcept {
  unit_candidates_in_lanes<false>(u, scaled, rounded, sure, n);
}

#if VOSSICK_SIZE_SKETCH_X86

__attribute__((target("avx2"))) void slot_candidates_avx2(uint64_t key, double scaled, const uint16_t* slots,
                                                          double skip_bound, uint16_t* rounded, uint8_t* sure,
                                                          size_t n) noexcept {
  slot_candidates_in_lanes<false>(prepared_key(key), scaled, slots, skip_bound, rounded, sure, n);
}

__attribute__((target("avx2"))) void unit_candidates_avx2(const double* u, double scaled, uint16_t* rounded,
                                                          uint8_t* sure, size_t n) noexcept {
  unit_candidates_in_lanes<false>(u, scaled, rounded, sure, n);
}

#define VOSSICK_AVX512 "avx2,avx512f,avx512dq,avx512vl,avx512bw"

__attribute__((target(VOSSICK_AVX512))) void slot_candidates_avx512(uint64_t key, double scaled, const uint16_t* slots,
                                                                    double skip_bound, uint16_t* rounded, uint8_t* sure,
                                                                    size_t n) noexcept {
  slot_candidates_in_lanes<true>(prepared_key(key), scaled, slots, skip_bound, rounded, sure, n);
}

__attribute__((target(VOSSICK_AVX512))) void unit_candidates_avx512(const double* u, double scaled, uint16_t* rounded,
                                                                    uint8_t* sure, size_t n) noexcept {
  unit_candidates_in_lanes<true>(u, scaled, rounded, sure, n);
}

bool have_avx512() noexcept {
  static const bool avx512 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
  }();
  return avx512;
}

bool have_avx2() noexcept {
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2;
}

#endif  // VOSSICK_SIZE_SKETCH_X86

namespace {

// The fastest build of the slot candidates that this CPU runs.
inline void slot_candidates(uint64_t key, double scaled, const uint16_t* slots, double skip_bound, uint16_t* rounded,
                            uint8_t* sure, size_t n) noexcept {
#if VOSSICK_SIZE_SKETCH_X86
  if (have_avx512()) return slot_candidates_avx512(key, scaled, slots, skip_bound, rounded, sure, n);
  if (have_avx2()) return slot_candidates_avx2(key, scaled, slots, skip_bound, rounded, sure, n);
#endif
  slot_candidates_portable(key, scaled, slots, skip_bound, rounded, sure, n);
}

}  // namespace

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
  // logarithm may be skipped. The factor 1 + 2^-20 absorbs the rounding
  // errors of this test and of log, which together stay far below 2^-20. The
  // test is false for zero, negative and NaN slots and for u = 1.
  const double skip_bound = -scaled * (1.0 + 0x1p-20);
  // Every slot's candidate four at a time; the few that the fast logarithm
  // cannot settle are computed exactly. Padding slots are +0 and never skip.
  constexpr size_t kPadded = (K + 2 * internal::kLanes - 1) / (2 * internal::kLanes) * (2 * internal::kLanes);
  uint16_t slots[kPadded] = {};
  std::copy(slots_.begin(), slots_.end(), slots);
  uint16_t rounded[kPadded];
  uint8_t sure[kPadded];
  internal::slot_candidates(key, scaled, slots, skip_bound, rounded, sure, kPadded);
  for (size_t i = 0; i < K; ++i) {
    if (!sure[i]) {
      rounded[i] =
          double_to_bfloat16(internal::candidate(scaled, internal::unit_from_hash(internal::slot_hash(i, key))));
    }
    // Branch-free: whether a candidate wins is a coin flip in a grown sketch.
    const bool wins = internal::bfloat16_to_float(rounded[i]) > internal::bfloat16_to_float(slots_[i]);
    const auto keep = static_cast<uint16_t>(static_cast<uint16_t>(wins) - 1u);  // all ones when it loses
    slots_[i] = static_cast<uint16_t>((rounded[i] & ~keep) | (slots_[i] & keep));
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
  return internal::saturating_to_u64(bfloat16_to_double(internal::from_total_order_key(selected)));
}

template class SizeSketch<7>;
template class SizeSketch<31>;
template class SizeSketch<127>;

}  // namespace vossick
