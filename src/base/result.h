// Error values and Result<T>.
//
// Every fallible operation of the core returns Result<T> (or Status, which is
// Result<void>). An Error is born with its final text and travels up unchanged;
// the binding layer converts it exactly once, at the Python boundary. The
// texts that reach Python are part of the module's public contract (callers
// match on them): each is written once, where its error is born, which says
// so. Nothing in the core throws, except std::bad_alloc from its containers,
// which the binding layer turns into MemoryError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vossick {

enum class ErrorKind : uint8_t {
  kStorage,      // LMDB failure; text is LMDB's message for the code
  kDecoding,     // a stored value that does not decode; text carries the prefix
  kParse,        // the JSON parser's message with its position
  kMessage,      // the program's own texts ("Start ID 5 not found in database")
  kPython,       // a Python exception is pending in the interpreter (binding layer only)
  kPanic,        // a violated internal invariant; surfaces as PanicException
  kInterrupted,  // long work gave up because its StopCheck asked it to (stop_check.h)
};

class Error {
 public:
  static Error lmdb(int code);
  // The OS message for errno `err`, then " (os error " + err + ")".
  static Error os(int err);
  // "error while decoding: " + cause
  static Error decoding(std::string_view cause);
  static Error parse(std::string text) { return Error(ErrorKind::kParse, std::move(text)); }
  static Error message(std::string text) { return Error(ErrorKind::kMessage, std::move(text)); }
  static Error python_pending() { return Error(ErrorKind::kPython, std::string()); }
  static Error panic(std::string text) { return Error(ErrorKind::kPanic, std::move(text)); }
  static Error interrupted() { return Error(ErrorKind::kInterrupted, "interrupted"); }

  ErrorKind kind() const noexcept { return kind_; }
  // LMDB's return code for kStorage errors, 0 otherwise.
  int lmdb_code() const noexcept { return lmdb_code_; }
  // The text as Python shows it.
  const std::string& text() const noexcept { return text_; }

 private:
  Error(ErrorKind kind, std::string text, int lmdb_code = 0)
      : kind_(kind), lmdb_code_(lmdb_code), text_(std::move(text)) {}

  ErrorKind kind_;
  int lmdb_code_;
  std::string text_;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  Error& error() & { return std::get<1>(v_); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return !error_.has_value(); }
  Error& error() & { return *error_; }
  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace vossick

#define VOSSICK_CONCAT_INNER(a, b) a##b
#define VOSSICK_CONCAT(a, b) VOSSICK_CONCAT_INNER(a, b)

// Returns the error of a Status or Result expression from the enclosing function.
#define VOSSICK_TRY(expr)                                                         \
  do {                                                                            \
    auto&& vossick_try_result_ = (expr);                                          \
    if (!vossick_try_result_.ok()) return std::move(vossick_try_result_).error(); \
  } while (0)

// `VOSSICK_ASSIGN_OR_RETURN(auto x, f());` binds the value or returns the error.
#define VOSSICK_ASSIGN_OR_RETURN(lhs, expr) \
  VOSSICK_ASSIGN_OR_RETURN_IMPL(VOSSICK_CONCAT(vossick_result_, __LINE__), lhs, expr)
#define VOSSICK_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                                  \
  if (!tmp.ok()) return std::move(tmp).error();       \
  lhs = std::move(tmp).value()
