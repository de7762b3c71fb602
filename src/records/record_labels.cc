#include "records/record_labels.h"

namespace vossick {

namespace {

void append_varint(uint64_t value, std::string& out) {
  while (value >= 0x80) {
    out += static_cast<char>(0x80 | (value & 0x7F));
    value >>= 7;
  }
  out += static_cast<char>(value);
}

// Reads a varint at `at`, advancing it; nothing when cut short or too long.
std::optional<uint64_t> read_varint(std::string_view bytes, size_t& at) {
  uint64_t value = 0;
  for (unsigned shift = 0; shift < 64 && at < bytes.size(); shift += 7) {
    const auto byte = static_cast<unsigned char>(bytes[at++]);
    value |= uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) return value;
  }
  return std::nullopt;
}

}  // namespace

void append_null_label(std::string& out) { out += '\0'; }

void append_label(std::string_view label, std::string& out) {
  const size_t begun_at = begin_label(out);
  out += label;
  end_label(out, begun_at);
}

// One byte is reserved for the varint, which is enough for labels under 127
// bytes, nearly all of them; a longer one moves its bytes up.
size_t begin_label(std::string& out) {
  out += '\0';
  return out.size() - 1;
}

void end_label(std::string& out, size_t begun_at) {
  const uint64_t tag = uint64_t{out.size() - begun_at - 1} + 1;
  if (tag < 0x80) {
    out[begun_at] = static_cast<char>(tag);
    return;
  }
  std::string varint;
  append_varint(tag, varint);
  out.replace(begun_at, 1, varint);
}

std::optional<std::vector<std::optional<std::string>>> decode_labels(std::string_view bytes) {
  std::vector<std::optional<std::string>> labels;
  for (size_t at = 0; at < bytes.size();) {
    const std::optional<uint64_t> tag = read_varint(bytes, at);
    if (!tag || *tag - (*tag != 0) > bytes.size() - at) return std::nullopt;
    if (*tag == 0) {
      labels.emplace_back();
      continue;
    }
    labels.emplace_back(std::string(bytes.substr(at, *tag - 1)));
    at += *tag - 1;
  }
  return labels;
}

}  // namespace vossick
