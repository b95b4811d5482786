// A value-or-error result with the member names of std::expected, so that it
// can become an alias once the toolchain has C++23.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "message/decode_error.h"

namespace skerrow {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}            // NOLINT
  Result(DecodeError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  template <typename V>
    requires std::is_constructible_v<DecodeError::Variant, V>
  Result(V error) : v_(std::in_place_index<1>, DecodeError(std::move(error))) {}  // NOLINT

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const DecodeError& error() const& { return std::get<1>(v_); }
  DecodeError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, DecodeError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(DecodeError error) : e_(std::move(error)) {}  // NOLINT
  template <typename V>
    requires std::is_constructible_v<DecodeError::Variant, V>
  Result(V error) : e_(DecodeError(std::move(error))) {}  // NOLINT

  bool has_value() const noexcept { return !e_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  const DecodeError& error() const& { return *e_; }
  DecodeError&& error() && { return std::move(*e_); }

 private:
  std::optional<DecodeError> e_;
};

#define SKERROW_CAT_(a, b) a##b
#define SKERROW_CAT(a, b) SKERROW_CAT_(a, b)

// SKERROW_TRY(auto x, f()) declares x from f()'s value, or returns f()'s error.
#define SKERROW_TRY_(tmp, lhs, expr)       \
  auto tmp = (expr);                       \
  if (!tmp) return std::move(tmp).error(); \
  lhs = std::move(tmp).value()
#define SKERROW_TRY(lhs, expr) SKERROW_TRY_(SKERROW_CAT(skerrow_try_, __LINE__), lhs, expr)

// SKERROW_CHECK(f()) returns f()'s error, if any.
#define SKERROW_CHECK(expr)                                        \
  do {                                                             \
    auto skerrow_check_ = (expr);                                  \
    if (!skerrow_check_) return std::move(skerrow_check_).error(); \
  } while (false)

}  // namespace skerrow
