// A second, deliberately plain reading of object records for the fuzzers: a
// recursive-descent RFC 8259 parser into a small tree, and the record rules
// (members, shapes, array form) applied to that tree. It shares no code with
// the production parser, so the two can be checked against each other.
//
// Thread safety: pure functions.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "records/record.h"
#include "records/record_parser.h"
#include "records/record_writer.h"

namespace vossick::fuzz {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  std::string text;               // a number's source text, or a string's decoded bytes
  std::vector<JsonValue> items;   // array elements, or object member values
  std::vector<std::string> keys;  // object member names, parallel to `items`
};

class ReferenceJsonParser {
 public:
  explicit ReferenceJsonParser(std::string_view input) : input_(input) {}

  // The whole input as one value with optional surrounding whitespace.
  std::optional<JsonValue> parse_document() {
    JsonValue value;
    skip_whitespace();
    if (!parse_value(value, 1)) return std::nullopt;
    skip_whitespace();
    if (pos_ != input_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 128;

  bool at_end() const { return pos_ >= input_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(input_[pos_]); }

  void skip_whitespace() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++pos_;
  }

  bool expect_word(std::string_view word) {
    if (input_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  // `depth` counts the containers this value would open, the outermost being 1.
  bool parse_value(JsonValue& out, int depth) {
    if (at_end()) return false;
    switch (peek()) {
      case 'n': out.kind = JsonValue::Kind::kNull; return expect_word("null");
      case 't': out.kind = JsonValue::Kind::kBool; return expect_word("true");
      case 'f': out.kind = JsonValue::Kind::kBool; return expect_word("false");
      case '"':
        out.kind = JsonValue::Kind::kString;
        ++pos_;
        return parse_string_rest(out.text);
      case '[': return depth <= kMaxDepth && parse_array(out, depth);
      case '{': return depth <= kMaxDepth && parse_object(out, depth);
      default: out.kind = JsonValue::Kind::kNumber; return parse_number(out.text);
    }
  }

  bool parse_array(JsonValue& out, int depth) {
    out.kind = JsonValue::Kind::kArray;
    ++pos_;
    skip_whitespace();
    if (!at_end() && peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      skip_whitespace();
      JsonValue item;
      if (!parse_value(item, depth + 1)) return false;
      out.items.push_back(std::move(item));
      skip_whitespace();
      if (at_end()) return false;
      if (peek() == ']') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return false;
      ++pos_;
    }
  }

  bool parse_object(JsonValue& out, int depth) {
    out.kind = JsonValue::Kind::kObject;
    ++pos_;
    skip_whitespace();
    if (!at_end() && peek() == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      skip_whitespace();
      if (at_end() || peek() != '"') return false;
      ++pos_;
      std::string key;
      if (!parse_string_rest(key)) return false;
      skip_whitespace();
      if (at_end() || peek() != ':') return false;
      ++pos_;
      skip_whitespace();
      JsonValue value;
      if (!parse_value(value, depth + 1)) return false;
      out.keys.push_back(std::move(key));
      out.items.push_back(std::move(value));
      skip_whitespace();
      if (at_end()) return false;
      if (peek() == '}') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return false;
      ++pos_;
    }
  }

  static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

  bool parse_number(std::string& text) {
    const size_t start = pos_;
    if (!at_end() && peek() == '-') ++pos_;
    if (at_end() || !is_digit(peek())) return false;
    if (peek() == '0') {
      ++pos_;
    } else {
      while (!at_end() && is_digit(peek())) ++pos_;
    }
    if (!at_end() && peek() == '.') {
      ++pos_;
      if (at_end() || !is_digit(peek())) return false;
      while (!at_end() && is_digit(peek())) ++pos_;
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (at_end() || !is_digit(peek())) return false;
      while (!at_end() && is_digit(peek())) ++pos_;
    }
    text.assign(input_.substr(start, pos_ - start));
    // Every number must be representable as a double (overflow, not underflow, fails).
    return std::isfinite(std::strtod(text.c_str(), nullptr));
  }

  static int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool parse_hex4(uint32_t& out) {
    if (input_.size() - pos_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_digit(static_cast<unsigned char>(input_[pos_++]));
      if (digit < 0) return false;
      out = out * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }

  static void append_utf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // Decodes one raw UTF-8 scalar value starting at pos_ by its definition:
  // shortest form, no surrogates, at most U+10FFFF.
  bool copy_utf8_scalar(std::string& out) {
    const unsigned char lead = peek();
    int extra;
    uint32_t cp;
    if (lead < 0x80) {
      extra = 0;
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      return false;
    }
    if (input_.size() - pos_ < static_cast<size_t>(extra) + 1) return false;
    for (int i = 1; i <= extra; ++i) {
      const unsigned char c = static_cast<unsigned char>(input_[pos_ + i]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.append(input_.substr(pos_, static_cast<size_t>(extra) + 1));
    pos_ += static_cast<size_t>(extra) + 1;
    return true;
  }

  bool parse_string_rest(std::string& out) {
    for (;;) {
      if (at_end()) return false;
      const unsigned char c = peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        if (!copy_utf8_scalar(out)) return false;
        continue;
      }
      ++pos_;
      if (at_end()) return false;
      const char escape = input_[pos_++];
      switch (escape) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!parse_hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (input_.substr(pos_, 2) != "\\u") return false;
            pos_ += 2;
            uint32_t low;
            if (!parse_hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(cp, out);
          break;
        }
        default: return false;
      }
    }
  }

  std::string_view input_;
  size_t pos_ = 0;
};

// ---- record rules over the tree ------------------------------------------------

inline std::optional<uint64_t> as_u64(const JsonValue& v) {
  if (v.kind != JsonValue::Kind::kNumber) return std::nullopt;
  for (char c : v.text) {
    if (c < '0' || c > '9') return std::nullopt;  // sign, fraction or exponent
  }
  constexpr std::string_view kMax = "18446744073709551615";
  if (v.text.size() > kMax.size() || (v.text.size() == kMax.size() && v.text > kMax)) return std::nullopt;
  return std::strtoull(v.text.c_str(), nullptr, 10);
}

inline bool read_member(const JsonValue& v, std::string_view name, RawObjectRecord& out) {
  using Kind = JsonValue::Kind;
  if (name == "id" || name == "size") {
    auto n = as_u64(v);
    if (!n) return false;
    (name == "id" ? out.id : out.size) = *n;
    return true;
  }
  if (name == "type") {
    if (v.kind != Kind::kString) return false;
    out.type = v.text;
    return true;
  }
  if (name == "value") {
    if (v.kind == Kind::kNull) {
      out.value.reset();
      return true;
    }
    if (v.kind != Kind::kString) return false;
    out.value = v.text;
    return true;
  }
  if (name == "subtree_size") {
    if (v.kind == Kind::kNull) {
      out.subtree_size.reset();
      return true;
    }
    auto n = as_u64(v);
    if (!n) return false;
    out.subtree_size = *n;
    return true;
  }
  if (name == "references") {
    if (v.kind != Kind::kArray) return false;
    out.references.clear();
    for (const JsonValue& item : v.items) {
      auto n = as_u64(item);
      if (!n) return false;
      out.references.push_back(*n);
    }
    return true;
  }
  return true;  // any other member is skipped
}

// Reads a record in one shape, given by the member names it reads in array
// order. Results use RawObjectRecord; members the shape does not read stay
// at their defaults.
inline std::optional<RawObjectRecord> reference_record(const JsonValue& root,
                                                       const std::vector<std::string_view>& shape) {
  auto reads = [&](std::string_view name) {
    for (auto s : shape)
      if (s == name) return true;
    return false;
  };
  RawObjectRecord record;
  if (root.kind == JsonValue::Kind::kArray) {
    if (root.items.size() != shape.size()) return std::nullopt;
    for (size_t i = 0; i < shape.size(); ++i) {
      if (!read_member(root.items[i], shape[i], record)) return std::nullopt;
    }
    return record;
  }
  if (root.kind != JsonValue::Kind::kObject) return std::nullopt;
  static constexpr std::string_view kKnown[] = {"id", "type", "references", "value", "size", "subtree_size"};
  std::vector<std::string_view> seen;
  for (size_t m = 0; m < root.keys.size(); ++m) {
    const std::string& key = root.keys[m];
    const JsonValue& value = root.items[m];
    for (auto known : kKnown) {
      if (key != known) continue;
      for (auto s : seen)
        if (s == known) return std::nullopt;  // a known member twice, read or not
      seen.push_back(known);
    }
    if (reads(key) && !read_member(value, key, record)) return std::nullopt;
  }
  for (auto required : {"id", "type", "references", "size"}) {
    if (!reads(required)) continue;
    bool present = false;
    for (auto s : seen) present = present || s == required;
    if (!present) return std::nullopt;
  }
  return record;
}

inline const std::vector<std::string_view>& raw_shape() {
  static const std::vector<std::string_view> shape{"id", "type", "references", "value", "size", "subtree_size"};
  return shape;
}
inline const std::vector<std::string_view>& no_value_shape() {
  static const std::vector<std::string_view> shape{"id", "type", "references", "size", "subtree_size"};
  return shape;
}
inline const std::vector<std::string_view>& summary_shape() {
  static const std::vector<std::string_view> shape{"id", "type", "value", "size", "subtree_size"};
  return shape;
}

}  // namespace vossick::fuzz
