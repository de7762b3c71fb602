#include "base/utf8.h"

namespace vossick {

std::string Utf8Error::to_string() const {
  if (error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
           std::to_string(valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

namespace {

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Allowed range of the second byte of a multi-byte sequence, by lead byte;
// excludes overlong forms, surrogates and code points above U+10FFFF.
bool second_byte_ok(uint8_t lead, uint8_t b) {
  switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return is_continuation(b);
  }
}

int sequence_width(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::optional<Utf8Error> validate_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    // Fast path over ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t word;
      __builtin_memcpy(&word, p + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    const uint8_t lead = p[i];
    const int width = sequence_width(lead);
    if (width == 1) {
      ++i;
      continue;
    }
    if (width == 0) return Utf8Error{i, 1};
    for (int k = 1; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, std::nullopt};
      const bool ok = k == 1 ? second_byte_ok(lead, p[i + k]) : is_continuation(p[i + k]);
      if (!ok) return Utf8Error{i, static_cast<size_t>(k)};
    }
    i += width;
  }
  return std::nullopt;
}

}  // namespace vossick
