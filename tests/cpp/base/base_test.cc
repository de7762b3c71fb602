// The hash map against std::map, and UTF-8 validation with its error
// positions.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "base/u64_hash_map.h"
#include "base/utf8.h"

namespace vossick {
namespace {

TEST(U64HashMapTest, KeepsEveryKeyAndTheFirstValueAcrossGrowth) {
  U64HashMap<uint64_t> map;
  std::map<uint64_t, uint64_t> model;
  std::mt19937_64 random(7);
  for (int i = 0; i < 200'000; ++i) {
    // Key 0 lives outside the table; small keys repeat.
    const uint64_t key = i % 3 == 0 ? random() % 1000 : i % 1000 == 1 ? 0 : random();
    const auto [stored, inserted] = map.try_emplace(key, i);
    const auto [expected, expected_inserted] = model.try_emplace(key, i);
    ASSERT_EQ(inserted, expected_inserted);
    ASSERT_EQ(*stored, expected->second);
  }
  EXPECT_EQ(map.size(), model.size());
  EXPECT_LE(map.size() * 4, map.capacity() * 3);
  size_t wrong = 0;
  for (const auto& [key, value] : model) {
    const uint64_t* found = map.find(key);
    wrong += found == nullptr || *found != value;
  }
  for (int i = 0; i < 100'000; ++i) {
    const uint64_t key = random();
    wrong += map.contains(key) != model.contains(key);
  }
  EXPECT_EQ(wrong, 0u);
}

struct Utf8Case {
  std::string bytes;
  std::string error;  // empty: valid
};

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, ReportsTheFirstErrorWithItsPosition) {
  const std::optional<Utf8Error> error = validate_utf8(GetParam().bytes);
  EXPECT_EQ(error ? error->to_string() : "", GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Test,
    ::testing::Values(
        Utf8Case{std::string(1000, 'a') + "\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
                 ""},
        Utf8Case{std::string(1000, 'a') + "\x80", "invalid utf-8 sequence of 1 bytes from index 1000"},
        Utf8Case{"ab\xff", "invalid utf-8 sequence of 1 bytes from index 2"},
        Utf8Case{"a\xc3", "incomplete utf-8 byte sequence from index 1"},
        Utf8Case{"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"},
        Utf8Case{"\xe2\x82z", "invalid utf-8 sequence of 2 bytes from index 0"},
        Utf8Case{"12345678\xf0\x9f\x98z", "invalid utf-8 sequence of 3 bytes from index 8"},
        Utf8Case{"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},        // surrogate
        Utf8Case{"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},            // overlong
        Utf8Case{"\xe0\x9f\xbf", "invalid utf-8 sequence of 1 bytes from index 0"},        // overlong
        Utf8Case{"\xf0\x8f\xbf\xbf", "invalid utf-8 sequence of 1 bytes from index 0"},    // overlong
        Utf8Case{"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"}));  // above U+10FFFF

}  // namespace
}  // namespace vossick
