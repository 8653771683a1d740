// The engine's one error type and the small result wrapper every fallible
// core operation returns. Errors carry only a message; each boundary (Python,
// C) turns them into its own form.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace brindlore {

struct CoreError {
  std::string message;
};

// Either a value or a CoreError. C++20 has no std::expected.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(CoreError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const CoreError& error() const& { return std::get<1>(state_); }
  CoreError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, CoreError> state_;
};

// Success-or-message for operations with no value.
struct Ok {};
using Status = Result<Ok>;

inline CoreError make_error(std::string message) { return CoreError{std::move(message)}; }

}  // namespace brindlore
