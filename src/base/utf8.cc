#include "base/utf8.h"

#include <cstring>

namespace vossick {

std::string Utf8Error::to_string() const {
  if (error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
           std::to_string(valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    // Fast path over ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const int width = utf8_sequence_width(p + i, p + n);
    if (width > 0) {
      i += static_cast<size_t>(width);
    } else if (width == 0) {
      return Utf8Error{i, std::nullopt};
    } else {
      return Utf8Error{i, static_cast<size_t>(-width)};
    }
  }
  return std::nullopt;
}

}  // namespace vossick
