// Eight bytes at a time over JSON bytes, and the checks of string bytes,
// shared by the record parser, the canonical-form scanner and the writer.
// Thread safety: pure functions.
#pragma once

#include <cstdint>

namespace vossick::json_swar {

inline constexpr uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// High bit set in (at least) the lowest byte of `word` that is '"', '\\' or a
// control character (< 0x20). Bytes above the first such byte may be flagged
// spuriously (borrows), which is harmless: callers use only the lowest flag.
inline uint64_t quote_backslash_control_mask(uint64_t word) noexcept {
  const uint64_t quote = word ^ (kOnes * '"');
  const uint64_t backslash = word ^ (kOnes * '\\');
  const uint64_t control = (word - kOnes * 0x20) & ~word;
  const uint64_t is_quote = (quote - kOnes) & ~quote;
  const uint64_t is_backslash = (backslash - kOnes) & ~backslash;
  return (control | is_quote | is_backslash) & kHighBits;
}

// High bit set in (at least) the lowest byte of `word` that ends a plain run:
// '"', '\\', a control character or a non-ASCII byte.
inline uint64_t string_special_mask(uint64_t word) noexcept {
  return quote_backslash_control_mask(word) | (word & kHighBits);
}

// Bytes that end the plain run of a string: '"', '\\', controls, non-ASCII.
constexpr bool is_string_special(unsigned char c) noexcept {
  return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
}

inline constexpr uint64_t kPowersOf10[] = {1,      10,      100,      1000,      10000,
                                           100000, 1000000, 10000000, 100000000};

// Number of leading bytes of `word` (in memory order) that are ASCII digits.
inline int leading_digit_count(uint64_t word) noexcept {
  const uint64_t values = word ^ (kOnes * '0');  // digits become 0..9
  // Per byte, without carries: high bit set when the byte is not 0..9.
  const uint64_t not_digit = (((values & (kOnes * 0x7F)) + kOnes * 0x76) | values) & kHighBits;
  return not_digit == 0 ? 8 : __builtin_ctzll(not_digit) / 8;
}

// The decimal value of the first `count` (1 to 8) bytes of `word`, all digits.
inline uint64_t leading_digits_value(uint64_t word, int count) noexcept {
  // Digit values, shifted so that the last digit read is the lowest place and
  // missing leading places are zero.
  uint64_t v = (word ^ (kOnes * '0')) << (8 * (8 - count));
  v = v * 10 + (v >> 8);  // pairs of digits
  v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
       (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
      32;
  return v;
}

// Width of the well-formed UTF-8 sequence at `p` (lead byte >= 0x80), 0 when
// it is malformed, -1 when the input ends inside an otherwise valid sequence.
inline int utf8_sequence_width(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char lead = p[0];
  int width;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    width = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    width = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    width = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (int k = 1; k < width; ++k) {
    if (p + k >= end) return -1;
    const unsigned char b = p[k];
    if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return 0;
  }
  return width;
}

}  // namespace vossick::json_swar
