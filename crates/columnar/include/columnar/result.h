// Result<T, E>: a value or an error, never both. Errors are values in this
// project; nothing throws across a module boundary.
//
//   columnar::Result<int, Error> parse(std::string_view text);
//   TESS_ASSIGN_OR_RETURN(int n, parse(text));   // returns the error early
//   TESS_TRY(check(n));                          // likewise, value discarded
//
// The macros return the error as is, so the enclosing function must return a
// Result with the same error type; a different error type must be mapped
// explicitly (no silent conversions between layers).
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace columnar {

class Error;  // the library's own error (error.h), the default error type

template <typename T, typename E = Error>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>, "value and error types must differ");

 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }

  T& value() & { assert(ok()); return std::get<0>(state_); }
  const T& value() const& { assert(ok()); return std::get<0>(state_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(state_)); }

  const E& error() const& { assert(!ok()); return std::get<1>(state_); }
  E&& error() && { assert(!ok()); return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

// Result of a step that yields nothing but may fail. Default-constructed means
// success, so `return {};` reads as "done".
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)) {}  // NOLINT

  bool ok() const { return !error_.has_value(); }
  const E& error() const& { assert(!ok()); return *error_; }
  E&& error() && { assert(!ok()); return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace columnar

#define TESS_CONCAT_INNER(a, b) a##b
#define TESS_CONCAT(a, b) TESS_CONCAT_INNER(a, b)

// Evaluates `expr` (a Result) and returns its error from the enclosing function.
#define TESS_TRY(expr)                                \
  do {                                                \
    auto&& tess_try_result_ = (expr);                 \
    if (!tess_try_result_.ok()) {                     \
      return std::move(tess_try_result_).error();     \
    }                                                 \
  } while (false)

// Declares or assigns `lhs` from the value of `expr`, or returns its error.
// Hazard: expands to several statements; do not use as the body of an
// unbraced if/else. `lhs` may be a declaration, so it cannot be put in
// parentheses, and `tmp` is a name.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TESS_ASSIGN_OR_RETURN(lhs, expr) \
  TESS_ASSIGN_OR_RETURN_IMPL(TESS_CONCAT(tess_result_, __LINE__), lhs, expr)
#define TESS_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                               \
  if (!tmp.ok()) {                                 \
    return std::move(tmp).error();                 \
  }                                                \
  lhs = std::move(tmp).value()
// NOLINTEND(bugprone-macro-parentheses)
