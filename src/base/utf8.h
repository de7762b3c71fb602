// UTF-8 well-formedness, judged by one table for the whole module (the
// record parser, the canonical-form scanner, the decoding of stored type
// names and the consistency check): no overlong forms, no surrogates,
// nothing above U+10FFFF.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vossick {

// The sequence that starts at `p` with a lead byte of 0x80 or more and must
// end before `end`: its width (2 to 4) when it is well formed; 0 when the
// input ends inside a sequence that is well formed so far; otherwise minus
// the length of its ill-formed start (1 to 3 bytes, as Utf8Error counts it).
inline int utf8_sequence_width(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char lead = p[0];
  int width;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
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
    return -1;
  }
  for (int k = 1; k < width; ++k) {
    if (p + k >= end) return 0;
    const unsigned char b = p[k];
    if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return -k;
  }
  return width;
}

struct Utf8Error {
  size_t valid_up_to = 0;
  // Length of the invalid sequence (1 to 3), or empty when the input ends in
  // the middle of an otherwise valid sequence.
  std::optional<size_t> error_len;

  // "invalid utf-8 sequence of N bytes from index I" or
  // "incomplete utf-8 byte sequence from index I": texts that stored-value
  // decoding errors carry to Python, part of the module's public messages.
  std::string to_string() const;
};

// Returns the first error in `bytes`, or nothing when they are valid UTF-8.
std::optional<Utf8Error> validate_utf8(std::string_view bytes) noexcept;

}  // namespace vossick
