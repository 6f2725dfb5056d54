// Expected<T>: a value or the message of why there is none. Failures of outside
// input (model files, trees) are values, not exceptions: the caller decides
// what a failure means, and a message is all that ever crosses the boundary.
#ifndef VESKO_COMMON_EXPECTED_H_
#define VESKO_COMMON_EXPECTED_H_

#include <string>
#include <utility>
#include <variant>

namespace vesko {

struct Failure {
  std::string message;
};

template <typename T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(Failure failure) : state_(std::in_place_index<1>, std::move(failure.message)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }

  const std::string& error() const { return std::get<1>(state_); }
  std::string&& take_error() { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, std::string> state_;
};

}  // namespace vesko

#endif  // VESKO_COMMON_EXPECTED_H_
