// A value or the error text that explains why there is none. Commands report
// their failures as texts, so this is how fallible steps hand results on.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace marblewick {

struct ErrorText {
  std::string message;
};

template <class T>
class Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(ErrorText error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  const std::string& error() const& { return std::get<1>(state_).message; }
  std::string&& error() && { return std::get<1>(std::move(state_)).message; }

 private:
  std::variant<T, ErrorText> state_;
};

}  // namespace marblewick
