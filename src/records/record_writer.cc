// Minimal escaping: only '"', '\\' and characters below U+0020; everything
// else is written raw.
#include "records/record_writer.h"

#include <cstring>

#include "records/json_scan.h"

namespace vossick {
namespace {

constexpr size_t kMaxU64Digits = 20;
// The worst case of an escaped byte: \u00xx.
constexpr size_t kMaxEscapedWidth = 6;

inline char* write_literal(char* out, std::string_view text) noexcept {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// The eight decimal digits of `value` (< 10^8), as digit values 0..9 in
// memory order (most significant first), computed in parallel lanes.
inline uint64_t eight_digit_values(uint32_t value) noexcept {
  // Two 4-digit halves in 32-bit lanes, the high half first in memory.
  const uint64_t halves = (value / 10000) | (static_cast<uint64_t>(value % 10000) << 32);
  // x / 100 == (x * 5243) >> 19 for x < 10000; no lane overflows.
  const uint64_t hundreds = ((halves * 5243) >> 19) & 0x0000007F0000007FULL;
  const uint64_t pairs = hundreds | ((halves - hundreds * 100) << 16);
  // x / 10 == (x * 103) >> 10 for x < 100, in 16-bit lanes.
  const uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
  return tens | ((pairs - tens * 10) << 8);
}

inline char* write_eight_digits(char* out, uint32_t value) noexcept {
  const uint64_t ascii = eight_digit_values(value) + 0x3030303030303030ULL;
  std::memcpy(out, &ascii, 8);
  return out + 8;
}

// Writes 1 to 8 digits of `value` (0 < value < 10^8) without leading zeros.
// May store up to 8 bytes; the caller's buffer has room for them.
inline char* write_leading_digits(char* out, uint32_t value) noexcept {
  const uint64_t digits = eight_digit_values(value);
  const int leading_zeros = __builtin_ctzll(digits) / 8;
  const uint64_t ascii = (digits + 0x3030303030303030ULL) >> (8 * leading_zeros);
  std::memcpy(out, &ascii, 8);
  return out + (8 - leading_zeros);
}

// Decimal form of `value`; stores up to 24 bytes but returns the end of the
// digits (at most 20).
inline char* write_u64(char* out, uint64_t value) noexcept {
  constexpr uint64_t k1e8 = 100000000;
  constexpr uint64_t k1e16 = k1e8 * k1e8;
  if (value < k1e8) {
    if (value == 0) {
      *out = '0';
      return out + 1;
    }
    return write_leading_digits(out, static_cast<uint32_t>(value));
  }
  if (value < k1e16) {
    out = write_leading_digits(out, static_cast<uint32_t>(value / k1e8));
    return write_eight_digits(out, static_cast<uint32_t>(value % k1e8));
  }
  out = write_leading_digits(out, static_cast<uint32_t>(value / k1e16));
  out = write_eight_digits(out, static_cast<uint32_t>(value / k1e8 % k1e8));
  return write_eight_digits(out, static_cast<uint32_t>(value % k1e8));
}

char* write_string(char* out, std::string_view text) noexcept {
  *out++ = '"';
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    const char* run = p;
    p = json_scan::skip_plain_run<false>(p, end);  // bytes of 0x80 and more are copied as they are
    std::memcpy(out, run, static_cast<size_t>(p - run));
    out += p - run;
    if (p == end) break;
    const auto c = static_cast<unsigned char>(*p++);
    *out++ = '\\';
    switch (c) {
      case '"': *out++ = '"'; break;
      case '\\': *out++ = '\\'; break;
      case '\b': *out++ = 'b'; break;
      case '\t': *out++ = 't'; break;
      case '\n': *out++ = 'n'; break;
      case '\f': *out++ = 'f'; break;
      case '\r': *out++ = 'r'; break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        out = write_literal(out, "u00");
        *out++ = kHex[c >> 4];
        *out++ = kHex[c & 0xF];
      }
    }
  }
  *out++ = '"';
  return out;
}

}  // namespace

void write_record(const RawObjectRecord& record, std::string& out) {
  const size_t value_bound = record.value ? record.value->size() * kMaxEscapedWidth + 2 : 4;
  // Integers may store 4 bytes past their digits; the slack covers that.
  const size_t bound = 96 + 4 * (kMaxU64Digits + 1) + record.type.size() * kMaxEscapedWidth + value_bound +
                       record.references.size() * (kMaxU64Digits + 1);
  const size_t start = out.size();
  out.resize(start + bound);
  char* const base = out.data() + start;
  char* p = base;
  p = write_literal(p, "{\"id\":");
  p = write_u64(p, record.id);
  p = write_literal(p, ",\"type\":");
  p = write_string(p, record.type);
  p = write_literal(p, ",\"references\":[");
  for (size_t i = 0; i < record.references.size(); ++i) {
    if (i != 0) *p++ = ',';
    p = write_u64(p, record.references[i]);
  }
  p = write_literal(p, "],\"value\":");
  p = record.value ? write_string(p, *record.value) : write_literal(p, "null");
  p = write_literal(p, ",\"size\":");
  p = write_u64(p, record.size);
  p = write_literal(p, ",\"subtree_size\":");
  p = record.subtree_size ? write_u64(p, *record.subtree_size) : write_literal(p, "null");
  *p++ = '}';
  out.resize(start + static_cast<size_t>(p - base));
}

void append_u64(uint64_t value, std::string& out) {
  const size_t start = out.size();
  out.resize(start + kMaxU64Digits + 4);  // write_u64 may store 4 bytes past the digits
  char* const base = out.data() + start;
  out.resize(start + static_cast<size_t>(write_u64(base, value) - base));
}

}  // namespace vossick
