// Helpers shared by the C++ tests: temporary environment directories.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "heap_dump_explorer/result.h"

namespace vossick::testing {

// A fresh directory under the system temp dir, removed on destruction.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vossick-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

#define ASSERT_OK(expr)                                          \
  do {                                                           \
    auto&& assert_ok_result_ = (expr);                           \
    ASSERT_TRUE(assert_ok_result_.ok()) << assert_ok_result_.error().text(); \
  } while (0)

template <class T>
T value_or_die(Result<T>&& result) {
  if (!result.ok()) {
    ADD_FAILURE() << result.error().text();
    std::abort();
  }
  return std::move(result).value();
}

}  // namespace vossick::testing
