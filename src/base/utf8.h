// UTF-8 validation with the error positions that storage messages report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vossick {

struct Utf8Error {
  size_t valid_up_to = 0;
  // Length of the invalid sequence (1 to 3), or empty when the input ends in
  // the middle of an otherwise valid sequence.
  std::optional<size_t> error_len;

  // "invalid utf-8 sequence of N bytes from index I" or
  // "incomplete utf-8 byte sequence from index I".
  std::string to_string() const;
};

// Returns the first error in `bytes`, or nothing when they are valid UTF-8.
std::optional<Utf8Error> validate_utf8(std::string_view bytes) noexcept;

}  // namespace vossick
