// Byte encodings of ids, size-index entries, type summaries and type names,
// and UTF-8 validation. Opening, refusals, duplicate order and transactions
// are pinned through the module's tests, which see the same messages.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/utf8.h"
#include "storage/encodings.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::value_or_die;

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

template <size_t N>
std::string_view view(const unsigned char (&bytes)[N]) {
  return std::string_view(reinterpret_cast<const char*>(bytes), N);
}

TEST(EncodingsTest, ByteFormsAndRoundTripsAtTheLimits) {
  EXPECT_EQ(hex(view(encode_size_index_entry({1, 2}).bytes)), "FF FF FF FF FF FF FF FE 00 00 00 00 00 00 00 02");
  EXPECT_EQ(hex(view(encode_type_summary({3, 5}).bytes)), "03 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(view(encode_id(0x0102).bytes)), "02 01 00 00 00 00 00 00");
  for (uint64_t a : {uint64_t{0}, uint64_t{1}, ~uint64_t{0}, uint64_t{1} << 63}) {
    for (uint64_t b : {uint64_t{0}, ~uint64_t{0}, uint64_t{42}}) {
      EXPECT_EQ(value_or_die(decode_size_index_entry(view(encode_size_index_entry({a, b}).bytes))),
                (SizeIndexEntry{a, b}));
      EXPECT_EQ(value_or_die(decode_type_summary(view(encode_type_summary({a, b}).bytes))), (TypeSummary{a, b}));
    }
    EXPECT_EQ(value_or_die(decode_id(view(encode_id(a).bytes))), a);
  }
}

TEST(EncodingsTest, SizeIndexSortsLargestFirstThenAscendingId) {
  // Bytewise order of the encodings must be (size desc, id asc).
  std::vector<SizeIndexEntry> entries = {{40, 9}, {16, 3}, {40, 7}, {~uint64_t{0}, 1}, {0, 0}, {256, 2}, {1, 256}};
  std::vector<std::string> encoded;
  for (const auto& e : entries) encoded.emplace_back(view(encode_size_index_entry(e).bytes));
  std::sort(encoded.begin(), encoded.end());
  std::vector<SizeIndexEntry> decoded;
  for (const auto& bytes : encoded) decoded.push_back(value_or_die(decode_size_index_entry(bytes)));
  std::vector<SizeIndexEntry> expected = {{~uint64_t{0}, 1}, {256, 2}, {40, 7}, {40, 9}, {16, 3}, {1, 256}, {0, 0}};
  EXPECT_EQ(decoded, expected);
}

TEST(EncodingsTest, DecodingRejectsWrongLengths) {
  for (size_t length : {0, 8, 15, 17}) {
    const std::string bytes(length, '\0'), got = std::to_string(length);
    auto summary = decode_type_summary(bytes);
    auto entry = decode_size_index_entry(bytes);
    ASSERT_FALSE(summary.ok() || entry.ok()) << length;
    EXPECT_EQ(summary.error().kind(), ErrorKind::kDecoding);
    const std::string prefix = "error while decoding: Invalid byte length for ";
    EXPECT_EQ(summary.error().text(), prefix + "TypeSummary: expected 16, got " + got);
    EXPECT_EQ(entry.error().text(), prefix + "SizeIndexEntry: expected 16, got " + got);
  }
}

struct TypeCase {
  std::string bytes;
  std::string error;  // empty: decodes
};

class DecodeTypeTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(DecodeTypeTest, DecodesMarkerNamesAndRejectsBadUtf8) {
  auto type = decode_type(GetParam().bytes);
  if (GetParam().error.empty()) {
    ASSERT_TRUE(type.ok()) << type.error().text();
    EXPECT_EQ(type.value().encoded(), GetParam().bytes);
    EXPECT_EQ(type.value().all_types, GetParam().bytes == "All Types");
  } else {
    ASSERT_FALSE(type.ok());
    EXPECT_EQ(type.error().text(), "error while decoding: " + GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, DecodeTypeTest,
    ::testing::Values(TypeCase{"All Types", ""}, TypeCase{"All Types ", ""}, TypeCase{"builtins.dict", ""},
                      TypeCase{"\xc3\xa9t\xc3\xa9", ""}, TypeCase{"\xf0\x9f\x98\x80", ""},
                      TypeCase{"ab\xff", "invalid utf-8 sequence of 1 bytes from index 2"},
                      TypeCase{"a\xc3", "incomplete utf-8 byte sequence from index 1"},
                      TypeCase{"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"},
                      TypeCase{"\xe2\x82z", "invalid utf-8 sequence of 2 bytes from index 0"},
                      TypeCase{"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
                      TypeCase{"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
                      TypeCase{"12345678\xf0\x9f\x98z", "invalid utf-8 sequence of 3 bytes from index 8"},
                      TypeCase{"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"}));

TEST(TypeTest, NamedAllTypesIsTheMarker) {
  EXPECT_TRUE(Type::named("All Types").all_types);
  EXPECT_EQ(Type::named("All Types"), Type::all());
  EXPECT_FALSE(Type::named("all types").all_types);
}

TEST(Utf8Test, AcceptsLongAsciiRunsAndAllPlanes) {
  std::string text(1000, 'a');
  text += "\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf";
  EXPECT_FALSE(validate_utf8(text).has_value());
  text += "\x80";
  auto error = validate_utf8(text);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->valid_up_to, text.size() - 1);
}

}  // namespace
}  // namespace vossick
