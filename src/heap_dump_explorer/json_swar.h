// Eight bytes at a time over JSON string bytes, shared by the record parser
// and writer. Thread safety: pure functions.
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

}  // namespace vossick::json_swar
