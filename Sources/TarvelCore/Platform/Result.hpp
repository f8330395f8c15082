#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace tarvel {

// Either a value or a typed error. Used by the few operations that can fail with a reason the
// caller or the log needs to see (decoding, binding, reading files).
template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(E error) : storage(std::in_place_index<1>, std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool hasValue() const { return storage.index() == 0; }
  explicit operator bool() const { return hasValue(); }

  // Precondition: hasValue().
  const T& value() const& { return std::get<0>(storage); }
  T& value() & { return std::get<0>(storage); }
  T&& value() && { return std::get<0>(std::move(storage)); }
  const T& operator*() const& { return value(); }
  T& operator*() & { return value(); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }

  // Precondition: !hasValue().
  const E& error() const { return std::get<1>(storage); }

  // The value, or absent when this holds an error.
  std::optional<T> optional() const& {
    return hasValue() ? std::optional<T>(value()) : std::nullopt;
  }
  std::optional<T> optional() && {
    return hasValue() ? std::optional<T>(std::move(*this).value()) : std::nullopt;
  }

 private:
  std::variant<T, E> storage;
};

}  // namespace tarvel
