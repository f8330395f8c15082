#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Result.hpp"

namespace tarvel {

// Mixes `value` into `seed` (the boost recipe, widened to 64 bits); for hashing records field by
// field beside their ==.
inline void hashCombine(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// A free-form JSON value (tool inputs, question payloads): one of six cases, in this order:
// string, number, boolean, object, array, null. A plain value; copy freely between threads.
//
// Copying, comparing, hashing, converting and destroying walk the value with an explicit stack,
// never by recursion, so a value nested arbitrarily deep cannot exhaust the thread's stack.
class JSONValue {
 public:
  enum class Kind { string, number, boolean, object, array, null };
  using Object = std::map<std::string, JSONValue, std::less<>>;
  using Array = std::vector<JSONValue>;
  // The alternatives in case order, so that `index()` is the case's position.
  using Storage = std::variant<std::string, double, bool, Object, Array, std::nullptr_t>;

  JSONValue() = default;  // null
  JSONValue(const JSONValue& other);
  JSONValue(JSONValue&& other) noexcept = default;
  JSONValue& operator=(const JSONValue& other);
  JSONValue& operator=(JSONValue&& other) noexcept;
  ~JSONValue();

  static JSONValue string(std::string text);
  static JSONValue number(double value);
  static JSONValue boolean(bool flag);
  static JSONValue object(Object members);
  static JSONValue object(std::initializer_list<std::pair<const std::string, JSONValue>> members);
  static JSONValue array(Array elements);
  static JSONValue null();

  Kind kind() const { return static_cast<Kind>(storage.index()); }
  bool isNull() const { return kind() == Kind::null; }

  // Each accessor borrows from this value, or is nullptr when the case does not match.
  const std::string* stringValue() const { return std::get_if<std::string>(&storage); }
  const Array* arrayValue() const { return std::get_if<Array>(&storage); }
  const Object* objectValue() const { return std::get_if<Object>(&storage); }
  std::string* stringValue() { return std::get_if<std::string>(&storage); }
  Array* arrayValue() { return std::get_if<Array>(&storage); }
  Object* objectValue() { return std::get_if<Object>(&storage); }
  std::optional<bool> boolValue() const;
  std::optional<double> numberValue() const;

  // The member of an object with this key; nullptr for a missing key and for every other case.
  // The result borrows from this value.
  const JSONValue* operator[](std::string_view key) const;

  // The underlying alternative, for std::visit.
  const Storage& variant() const { return storage; }

  // Converts a parsed JSON value. Fails with dataCorrupted "Unsupported JSON value" for the
  // kinds JSON text cannot hold (binary, discarded). Integers become numbers.
  static Result<JSONValue, DecodingError> fromJSON(const Json& value);
  // Same, moving strings out of `value`, which is left in a valid but unspecified state.
  static Result<JSONValue, DecodingError> fromJSON(Json&& value);

  // The JSON form. Whole numbers of magnitude up to 2^53 are written as integers ("1", not
  // "1.0"); numbers that are not finite, which JSON cannot carry, are written as null.
  Json toJSON() const;

  // Equal when of the same case with equal payloads (objects ignore member order; numbers compare
  // as doubles, so NaN equals nothing).
  bool operator==(const JSONValue& other) const;

  // Feeds the case's position 0 to 5 and then the payload.
  std::size_t hashValue() const;

 private:
  template <std::size_t index, class Payload>
  JSONValue(std::in_place_index_t<index> tag, Payload&& payload)
      : storage(tag, std::forward<Payload>(payload)) {}
  // Moves every nested value out into `pending`, leaving empty containers behind.
  void releaseChildren(std::vector<JSONValue>& pending);
  bool hasNestedContainers() const;

  Storage storage{nullptr};
};

template <>
struct Codable<JSONValue> {
  static Json encode(const JSONValue& value) { return value.toJSON(); }
  // Throws DecodingError "Unsupported JSON value" (dataCorrupted) at `path`.
  static JSONValue decode(const Json& value, const std::string& path);
};

}  // namespace tarvel

template <>
struct std::hash<tarvel::JSONValue> {
  std::size_t operator()(const tarvel::JSONValue& value) const { return value.hashValue(); }
};
