#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heap_dump_explorer/encodings.h"
#include "heap_dump_explorer/explorer.h"
#include "heap_dump_explorer/storage.h"
#include "heap_dump_explorer/utf8.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::TempDir;
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

TEST(EncodingsTest, ByteForms) {
  EXPECT_EQ(hex(view(encode_size_index_entry({1, 2}).bytes)),
            "FF FF FF FF FF FF FF FE 00 00 00 00 00 00 00 02");
  EXPECT_EQ(hex(view(encode_type_summary({3, 5}).bytes)), "03 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(view(encode_id(0x0102).bytes)), "02 01 00 00 00 00 00 00");
}

TEST(EncodingsTest, RoundTripsAtTheLimits) {
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

struct LengthCase {
  size_t length;
  std::string expected;
};

class DecodeLengthTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(DecodeLengthTest, RejectsWrongLengths) {
  std::string bytes(GetParam().length, '\0');
  auto summary = decode_type_summary(bytes);
  auto entry = decode_size_index_entry(bytes);
  ASSERT_FALSE(summary.ok());
  ASSERT_FALSE(entry.ok());
  EXPECT_EQ(summary.error().kind(), ErrorKind::kDecoding);
  EXPECT_EQ(summary.error().text(),
            "error while decoding: Invalid byte length for TypeSummary: expected 16, got " + GetParam().expected);
  EXPECT_EQ(entry.error().text(),
            "error while decoding: Invalid byte length for SizeIndexEntry: expected 16, got " + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, DecodeLengthTest,
                         ::testing::Values(LengthCase{0, "0"}, LengthCase{8, "8"}, LengthCase{15, "15"},
                                           LengthCase{17, "17"}));

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

class StorageTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(StorageTest, OpenRefusesSecondOpenAndMissingDirectory) {
  auto first = Explorer::open(dir_.path());
  ASSERT_OK(first);
  auto second = Explorer::open(dir_.path() + "/.");
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().text(),
            "environment already open in this program; close it to be able to open it again with different options");
  auto missing = Explorer::open(dir_.path() + "/absent");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");
}

TEST_F(StorageTest, ReopenAfterCloseSucceeds) {
  { ASSERT_OK(Explorer::open(dir_.path())); }
  ASSERT_OK(Explorer::open(dir_.path()));
}

// Writes ids under one key and reads the duplicates back.
std::vector<uint64_t> stored_order(const Explorer& explorer, const std::vector<uint64_t>& ids) {
  {
    Transaction txn = value_or_die(Transaction::begin_write(explorer.env()));
    for (uint64_t id : ids) EXPECT_TRUE(put_type_id(txn, explorer.dbs(), "T", id).ok());
    EXPECT_TRUE(txn.commit().ok());
  }
  Transaction txn = value_or_die(Transaction::begin_read(explorer.env()));
  Cursor cursor = value_or_die(Cursor::open(txn, explorer.dbs().types));
  std::vector<uint64_t> out;
  for (auto value = value_or_die(cursor.first_duplicate("T")); value;
       value = value_or_die(cursor.next_duplicate())) {
    out.push_back(value_or_die(decode_id(*value)));
  }
  return out;
}

TEST_F(StorageTest, DuplicatesComeBackInLittleEndianByteOrderAndOnce) {
  Explorer explorer = value_or_die(Explorer::open(dir_.path()));
  EXPECT_EQ(stored_order(explorer, {1, 2, 256, 2, 1}), (std::vector<uint64_t>{256, 1, 2}));
}

TEST_F(StorageTest, AbsentKeyHasNoDuplicatesAndEmptyKeyIsRefused) {
  Explorer explorer = value_or_die(Explorer::open(dir_.path()));
  Transaction txn = value_or_die(Transaction::begin_read(explorer.env()));
  Cursor cursor = value_or_die(Cursor::open(txn, explorer.dbs().types));
  EXPECT_FALSE(value_or_die(cursor.first_duplicate("absent")).has_value());
  auto empty = get_type_summary(txn, explorer.dbs(), "");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().text(), "MDB_BAD_VALSIZE: Unsupported size of key/DB name/data, or wrong DUPFIXED size");
}

TEST_F(StorageTest, AbortedWriteLeavesNothingAndNestedWriteIsRefused) {
  Explorer explorer = value_or_die(Explorer::open(dir_.path()));
  {
    Transaction txn = value_or_die(Transaction::begin_write(explorer.env()));
    ASSERT_OK(put_type_summary(txn, explorer.dbs(), "T", {1, 2}));
    auto nested = Transaction::begin_write(explorer.env());
    ASSERT_FALSE(nested.ok());
    EXPECT_EQ(nested.error().kind(), ErrorKind::kMessage);
    // Destroyed without commit: aborted.
  }
  Transaction txn = value_or_die(Transaction::begin_read(explorer.env()));
  EXPECT_FALSE(value_or_die(get_type_summary(txn, explorer.dbs(), "T")).has_value());
  // The writer slot is free again.
  ASSERT_OK(Transaction::begin_write(explorer.env()));
}

TEST_F(StorageTest, TypeSummaryOfWrongLengthIsADecodingError) {
  Explorer explorer = value_or_die(Explorer::open(dir_.path()));
  {
    Transaction txn = value_or_die(Transaction::begin_write(explorer.env()));
    ASSERT_OK(put_value(txn, explorer.dbs().type_summaries, "T", std::string(15, 'x')));
    ASSERT_OK(txn.commit());
  }
  Transaction txn = value_or_die(Transaction::begin_read(explorer.env()));
  auto summary = get_type_summary(txn, explorer.dbs(), "T");
  ASSERT_FALSE(summary.ok());
  EXPECT_EQ(summary.error().text(), "error while decoding: Invalid byte length for TypeSummary: expected 16, got 15");
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
