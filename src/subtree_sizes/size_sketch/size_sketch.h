// SizeSketch: the approximate subtree-size estimator (precisions Low, Medium,
// High). A sketch stands for a set of (key, weight) pairs in K bfloat16 slots;
// slot i holds the maximum over the set of ln(4)·w / -ln(u_i(key)), where
// u_i(key) is a uniform value derived from XXH3-64 of (i, key). Merging is a
// slot-wise maximum, so a key reached along several paths counts once, and the
// lower quartile of the slots estimates the total weight.
//
// The slot values, and therefore every stored estimate, are bit-exact: the
// hash input, the floating-point steps and the bfloat16 rounding are fixed.
//
// Thread safety: a sketch is a plain value (K 16-bit slots, no heap memory);
// distinct sketches may be used on distinct threads freely, one sketch needs
// external synchronisation like any other value.
//
// Instantiated for K = 7, 31 and 127 only (size_sketch.cc).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace vossick {

// Rounds a double to the bfloat16 bit pattern (sign, 8 exponent bits, 7
// fraction bits). Only the upper 20 fraction bits of the double decide the
// rounding (to nearest, ties to even); the lower 32 bits only tell a NaN from
// an infinity. NaN stays NaN (with bit 0x40 set), magnitudes of 2^128 and up
// become infinity, tiny magnitudes a signed zero.
uint16_t double_to_bfloat16(double value) noexcept;

// The exact value of a bfloat16 pattern.
inline double bfloat16_to_double(uint16_t bits) noexcept {
  return static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(bits) << 16));
}

namespace size_sketch_internal {

// -ln 4 rounded to double (bits 0xbff62e42fefa39ef).
inline constexpr double kNegativeLn4 = -1.3862943611198906;

// (double)weight · -ln 4, one rounded multiplication.
double scaled_weight(uint64_t weight) noexcept;

// The slot candidate before rounding: scaled / log(u). u is the slot's hash
// scaled into [0, 1]; for u in (0, 1) and a positive weight the result is
// ln(4)·w / -ln(u).
double candidate(double scaled, double u) noexcept;

// XXH3-64 (seed 0) of slot_index then key, each as u64 little-endian.
uint64_t slot_hash(uint64_t slot_index, uint64_t key) noexcept;

// (double)hash · 2^-64: in [0, 1], exactly 1.0 when the hash rounds up.
double unit_from_hash(uint64_t hash) noexcept;

// Every slot's rounded candidate for a key, four slots at a time, for
// add_in_place: rounded[i] is double_to_bfloat16(candidate(scaled,
// unit_from_hash(slot_hash(i, key)))) wherever sure[i] is 1; elsewhere (a
// candidate too close to a rounding boundary for the fast logarithm, or u of
// 0 or 1) the caller computes it exactly. With `slots` (n of them), a step of
// eight whose candidates all surely lose to their slots by add_in_place's
// test against `skip_bound` yields +0, sure, instead. The unit_ forms take
// the u values themselves. n is a multiple of 8 (of 4 for the unit_ forms).
// Every build gives the same results bit for bit and is exposed for tests.
// The portable build is compiled for every target; the AVX2 and AVX-512
// builds exist only where VOSSICK_SIZE_SKETCH_X86 is 1 and may only be called
// where have_avx2(), respectively have_avx512().
void slot_candidates_portable(uint64_t key, double scaled, const uint16_t* slots, double skip_bound, uint16_t* rounded,
                              uint8_t* sure, size_t n) noexcept;
void unit_candidates_portable(const double* u, double scaled, uint16_t* rounded, uint8_t* sure, size_t n) noexcept;

#if defined(__x86_64__) || defined(__i386__)
#define VOSSICK_SIZE_SKETCH_X86 1
void slot_candidates_avx2(uint64_t key, double scaled, const uint16_t* slots, double skip_bound, uint16_t* rounded,
                          uint8_t* sure, size_t n) noexcept;
void unit_candidates_avx2(const double* u, double scaled, uint16_t* rounded, uint8_t* sure, size_t n) noexcept;
void slot_candidates_avx512(uint64_t key, double scaled, const uint16_t* slots, double skip_bound, uint16_t* rounded,
                            uint8_t* sure, size_t n) noexcept;
void unit_candidates_avx512(const double* u, double scaled, uint16_t* rounded, uint8_t* sure, size_t n) noexcept;
bool have_avx2() noexcept;
bool have_avx512() noexcept;
#else
#define VOSSICK_SIZE_SKETCH_X86 0
#endif

// IEEE total order on bfloat16 patterns mapped onto unsigned order:
// -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
constexpr uint16_t total_order_key(uint16_t bits) noexcept {
  return (bits & 0x8000) ? static_cast<uint16_t>(~bits) : static_cast<uint16_t>(bits | 0x8000);
}
constexpr uint16_t from_total_order_key(uint16_t key) noexcept {
  return (key & 0x8000) ? static_cast<uint16_t>(key & 0x7FFF) : static_cast<uint16_t>(~key);
}

// Truncates toward zero and saturates: NaN and negatives give 0, values at or
// above 2^64 give 2^64 - 1.
uint64_t saturating_to_u64(double value) noexcept;

constexpr bool is_nan(uint16_t bits) noexcept { return (bits & 0x7FFF) > 0x7F80; }

// For non-NaN patterns: an integer in the IEEE comparison order, with -0 and
// +0 equal.
constexpr int32_t ieee_order_key(uint16_t bits) noexcept {
  const int32_t magnitude = bits & 0x7FFF;
  return (bits & 0x8000) ? -magnitude : magnitude;
}

inline float bfloat16_to_float(uint16_t bits) noexcept {
  return std::bit_cast<float>(static_cast<uint32_t>(bits) << 16);
}

}  // namespace size_sketch_internal

template <size_t K>
class SizeSketch {
 public:
  static_assert(K >= 1, "a sketch needs at least one slot");

  // The empty sketch, like empty().
  constexpr SizeSketch() noexcept : slots_{} {}

  // All slots +0.0.
  static constexpr SizeSketch empty() noexcept { return SizeSketch(); }

  // A sketch holding exactly these slot patterns (for tests and tools; the
  // estimator never produces negative or NaN slots, but any pattern is kept).
  static constexpr SizeSketch from_slots(const std::array<uint16_t, K>& slots) noexcept {
    SizeSketch sketch;
    sketch.slots_ = slots;
    return sketch;
  }

  // Adds one keyed weight. Idempotent; a weight of 0 changes nothing.
  void add_in_place(uint64_t key, uint64_t weight) noexcept;

  // Slot-wise maximum with `other`. Where one side is NaN the other is taken;
  // where both compare equal this sketch keeps its own pattern.
  void include(const SizeSketch& other) noexcept {
    namespace internal = size_sketch_internal;
    for (size_t i = 0; i < K; ++i) {
      const uint16_t mine = slots_[i];
      const uint16_t theirs = other.slots_[i];
      const bool take = !internal::is_nan(theirs) &&
                        (internal::is_nan(mine) || internal::ieee_order_key(theirs) > internal::ieee_order_key(mine));
      slots_[i] = take ? theirs : mine;
    }
  }

  // The slot of rank K/4 (0-based, IEEE total order), truncated to u64.
  // Works on a copy; the slots keep their order.
  uint64_t estimate() const noexcept;

  const std::array<uint16_t, K>& slots() const noexcept { return slots_; }

  friend bool operator==(const SizeSketch&, const SizeSketch&) = default;

 private:
  std::array<uint16_t, K> slots_;
};

extern template class SizeSketch<7>;
extern template class SizeSketch<31>;
extern template class SizeSketch<127>;

}  // namespace vossick
