// The scanning pieces shared by the record parser, the canonical-form
// scanner and the writer: string bytes and digits judged eight bytes at a
// time, the one integer scan, and where decoded string bytes go.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vossick::json_scan {

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

// The first byte at or after `p` that ends a plain run of string bytes, or
// `end`: '"', '\\', a control character and, when kStopAtNonAscii, a byte
// of 0x80 or more (readers check those as UTF-8; the writer copies them).
template <bool kStopAtNonAscii>
inline const char* skip_plain_run(const char* p, const char* end) noexcept {
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    const uint64_t mask = kStopAtNonAscii ? string_special_mask(word) : quote_backslash_control_mask(word);
    if (mask != 0) return p + __builtin_ctzll(mask) / 8;
    p += 8;
  }
  for (; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || (kStopAtNonAscii && c >= 0x80)) break;
  }
  return p;
}

inline constexpr uint64_t kPowersOf10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

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

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// scan_u64 a byte at a time.
inline const char* scan_u64_bytewise(const char* p, const char* end, uint64_t& out) noexcept {
  if (p == end || !is_digit(*p)) return nullptr;
  if (*p == '0') {
    ++p;
    if (p != end && is_digit(*p)) return nullptr;
    out = 0;
    return p;
  }
  uint64_t value = 0;
  do {
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(*p - '0'), &value)) {
      return nullptr;
    }
    ++p;
  } while (p != end && is_digit(*p));
  out = value;
  return p;
}

// The integer in canonical decimal at `p`: 1 to 20 digits, no leading zero
// (but "0" itself), at most 2^64 - 1. Stores its value and returns the end of
// its digits, or nullptr when `p` starts no such integer (no digit, a zero
// before another digit, a value beyond u64). What follows is not looked at.
inline const char* scan_u64(const char* p, const char* end, uint64_t& out) noexcept {
  // Up to 15 digits, the usual case, from two words without a loop.
  if (end - p >= 16) {
    uint64_t low;
    std::memcpy(&low, p, 8);
    const int low_count = leading_digit_count(low);
    if (low_count == 0) return nullptr;
    if (*p == '0') {
      if (low_count != 1) return nullptr;
      out = 0;
      return p + 1;
    }
    if (low_count < 8) {
      out = leading_digits_value(low, low_count);
      return p + low_count;
    }
    uint64_t high;
    std::memcpy(&high, p + 8, 8);
    const int high_count = leading_digit_count(high);
    if (high_count < 8) {
      uint64_t value = leading_digits_value(low, 8);
      if (high_count > 0) value = value * kPowersOf10[high_count] + leading_digits_value(high, high_count);
      out = value;
      return p + 8 + high_count;
    }
  }
  return scan_u64_bytewise(p, end, out);
}

// Where decoded string bytes go: nowhere (the string is still checked), or
// appended to a string.
struct DiscardingSink {
  void append(const char*, size_t) noexcept {}
};

struct StringSink {
  std::string& out;
  void append(const char* p, size_t n) { out.append(p, n); }
};

}  // namespace vossick::json_scan
