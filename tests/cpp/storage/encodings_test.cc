// The stored byte forms of ids, size-index entries, type summaries and type
// names. (The orders they give are the listings' orders, checked in the
// module's tests.)

#include "storage/encodings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

TEST(EncodingsTest, ByteFormsAndRoundTripsAtTheLimits) {
  EXPECT_EQ(hex(encode_size_index_entry({1, 2}).view()), "FF FF FF FF FF FF FF FE 00 00 00 00 00 00 00 02");
  EXPECT_EQ(hex(encode_type_summary({3, 5}).view()), "03 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(id_key(encode_id(0x0102))), "02 01 00 00 00 00 00 00");
  for (uint64_t a : {uint64_t{0}, uint64_t{1}, UINT64_MAX, uint64_t{1} << 63}) {
    for (uint64_t b : {uint64_t{0}, UINT64_MAX, uint64_t{42}}) {
      EXPECT_EQ(value_or_die(decode_size_index_entry(encode_size_index_entry({a, b}).view())), (SizeIndexEntry{a, b}));
      EXPECT_EQ(value_or_die(decode_type_summary(encode_type_summary({a, b}).view())), (TypeSummary{a, b}));
    }
    EXPECT_EQ(value_or_die(decode_id(id_key(encode_id(a)))), a);
  }
}

TEST(EncodingsTest, DecodingRejectsWrongLengthsAndTypeNamesThatAreNotUtf8) {
  for (size_t length : {0, 8, 15, 17}) {
    const std::string bytes(length, '\0'), got = std::to_string(length);
    const std::string prefix = "error while decoding: Invalid byte length for ";
    EXPECT_EQ(decode_type_summary(bytes).error().text(), prefix + "TypeSummary: expected 16, got " + got);
    EXPECT_EQ(decode_size_index_entry(bytes).error().text(), prefix + "SizeIndexEntry: expected 16, got " + got);
  }
  EXPECT_EQ(decode_type("ab\xff").error().text(),
            "error while decoding: invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_TRUE(value_or_die(decode_type("All Types")).all_types);
  EXPECT_FALSE(value_or_die(decode_type("All Types ")).all_types);
  EXPECT_EQ(Type::named("All Types"), Type::all());
}

}  // namespace
}  // namespace vossick
