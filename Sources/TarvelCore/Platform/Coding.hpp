#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/Result.hpp"
#include "TarvelCore/Platform/UUID.hpp"

// The shared JSON coders that every socket peer uses, and the small toolkit records use to
// describe their JSON form.
//
// Encoder: compact, object keys sorted at every level, "/" not escaped, non-ASCII as UTF-8, dates
// as ISO 8601 UTC with milliseconds. Decoder: dates with or without a fraction, unknown keys
// ignored, absent and null optional keys alike, at most 512 levels of nesting, valid UTF-8 only.
namespace tarvel {

using Json = nlohmann::json;

// Why a JSON value could not be decoded into a record. `description` is the human-readable text
// callers log, such as "Invalid ISO 8601 timestamp".
struct DecodingError {
  enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };
  Kind kind = Kind::dataCorrupted;
  std::string codingPath;  // dotted path of the offending value, such as "plan.steps[0].status"
  std::string description;
  bool operator==(const DecodingError&) const = default;
};

namespace Coding {

inline constexpr std::size_t maximumDepth = 512;

// The shared encoder: one compact line, no trailing line feed. Strings that are not valid UTF-8
// have their bad bytes replaced by U+FFFD so that the output is always valid JSON.
std::string encode(const Json& value);

// The shared decoder's parsing step: fails with dataCorrupted on invalid JSON, invalid UTF-8,
// or nesting deeper than maximumDepth. Leading and trailing white space are allowed.
Result<Json, DecodingError> parse(std::string_view text);

// Whether the nesting depth of arrays and objects in `text` exceeds `limit`; linear, no recursion.
bool exceedsDepth(std::string_view text, std::size_t limit);

}  // namespace Coding

// Every record type T that has a JSON form specialises Codable<T> with
//   static Json encode(const T&);
//   static T decode(const Json& value, const std::string& path);  // throws DecodingError
template <class T>
struct Codable;

// Enumerations with raw string values specialise EnumNames<E> with a static `table` of
// {case, raw value} pairs in declaration order.
template <class E>
struct EnumNames;

template <class E>
std::string_view rawValue(E value) {
  for (const auto& [item, name] : EnumNames<E>::table) {
    if (item == value) {
      return name;
    }
  }
  return {};
}

template <class E>
std::optional<E> fromRawValue(std::string_view text) {
  for (const auto& [item, name] : EnumNames<E>::table) {
    if (name == text) {
      return item;
    }
  }
  return std::nullopt;
}

namespace JSONCoding {

[[noreturn]] void fail(DecodingError::Kind kind, const std::string& path, std::string description);
[[noreturn]] void typeMismatch(const std::string& path, std::string_view expected,
                               const Json& found);
std::string member(const std::string& path, std::string_view key);
std::string element(const std::string& path, std::size_t index);

std::string readString(const Json& value, const std::string& path);
bool readBool(const Json& value, const std::string& path);
std::int64_t readInteger(const Json& value, const std::string& path);
double readNumber(const Json& value, const std::string& path);
Date readDate(const Json& value, const std::string& path);
UUID readUUID(const Json& value, const std::string& path);
std::string jsonTypeName(const Json& value);

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};
template <class T>
struct IsStringMap : std::false_type {};
template <class T>
struct IsStringMap<std::map<std::string, T>> : std::true_type {};
template <class T, class = void>
struct HasEnumNames : std::false_type {};
template <class T>
struct HasEnumNames<T, std::void_t<decltype(EnumNames<T>::table)>> : std::true_type {};

template <class T>
T read(const Json& value, const std::string& path) {
  if constexpr (std::is_same_v<T, std::string>) {
    return readString(value, path);
  } else if constexpr (std::is_same_v<T, bool>) {
    return readBool(value, path);
  } else if constexpr (std::is_integral_v<T>) {
    const std::int64_t number = readInteger(value, path);
    if (number < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
        (number > 0 && static_cast<std::uint64_t>(number) > std::numeric_limits<T>::max())) {
      fail(DecodingError::Kind::dataCorrupted, path, "Number does not fit.");
    }
    return static_cast<T>(number);
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(readNumber(value, path));
  } else if constexpr (std::is_same_v<T, Date>) {
    return readDate(value, path);
  } else if constexpr (std::is_same_v<T, UUID>) {
    return readUUID(value, path);
  } else if constexpr (std::is_same_v<T, Json>) {
    return value;
  } else if constexpr (IsVector<T>::value) {
    if (!value.is_array()) {
      typeMismatch(path, "Array", value);
    }
    T items;
    items.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
      items.push_back(read<typename T::value_type>(value[i], element(path, i)));
    }
    return items;
  } else if constexpr (IsStringMap<T>::value) {
    if (!value.is_object()) {
      typeMismatch(path, "Dictionary", value);
    }
    T items;
    for (const auto& [key, item] : value.items()) {
      items.emplace(key, read<typename T::mapped_type>(item, member(path, key)));
    }
    return items;
  } else if constexpr (HasEnumNames<T>::value) {
    const std::string text = readString(value, path);
    if (auto item = fromRawValue<T>(text)) {
      return *item;
    }
    fail(DecodingError::Kind::dataCorrupted, path,
         "Cannot initialize from invalid String value " + text);
  } else {
    return Codable<T>::decode(value, path);
  }
}

template <class T>
Json write(const T& value) {
  if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool> ||
                std::is_arithmetic_v<T> || std::is_same_v<T, Json>) {
    return Json(value);
  } else if constexpr (std::is_same_v<T, Date>) {
    return Json(Dates::iso8601(value));
  } else if constexpr (std::is_same_v<T, UUID>) {
    return Json(value.uuidString());
  } else if constexpr (IsVector<T>::value) {
    Json items = Json::array();
    for (const auto& item : value) {
      items.push_back(write(item));
    }
    return items;
  } else if constexpr (IsStringMap<T>::value) {
    Json items = Json::object();
    for (const auto& [key, item] : value) {
      items[key] = write(item);
    }
    return items;
  } else if constexpr (HasEnumNames<T>::value) {
    return Json(std::string(rawValue(value)));
  } else {
    return Codable<T>::encode(value);
  }
}

// Reads the members of one JSON object; throws DecodingError (caught by decodeJSON).
class Fields {
 public:
  // Throws typeMismatch when `value` is not an object. `value` must outlive this reader.
  Fields(const Json& value, std::string path);

  // The member's value, or nullptr when the key is absent or holds null.
  const Json* find(std::string_view key) const;

  template <class T>
  T required(std::string_view key) const {
    const auto it = object.find(key);
    if (it == object.end()) {
      fail(DecodingError::Kind::keyNotFound, path,
           "No value associated with key \"" + std::string(key) + "\".");
    }
    if (it->is_null()) {
      fail(DecodingError::Kind::valueNotFound, member(path, key),
           "Expected a value but found null instead.");
    }
    return read<T>(*it, member(path, key));
  }

  template <class T>
  std::optional<T> optional(std::string_view key) const {
    const Json* found = find(key);
    if (found == nullptr) {
      return std::nullopt;
    }
    return read<T>(*found, member(path, key));
  }

 private:
  const Json& object;
  std::string path;
};

// Builds a JSON object, leaving out absent optional values.
class ObjectBuilder {
 public:
  template <class T>
  ObjectBuilder& set(const char* key, const T& value) {
    object[key] = write(value);
    return *this;
  }
  template <class T>
  ObjectBuilder& set(const char* key, const std::optional<T>& value) {
    if (value) {
      object[key] = write(*value);
    }
    return *this;
  }
  Json build() { return std::move(object); }

 private:
  Json object = Json::object();
};

}  // namespace JSONCoding

// The record's JSON value.
template <class T>
Json toJSON(const T& value) {
  return JSONCoding::write(value);
}

// The record's shared-encoder text (one line, no line feed).
template <class T>
std::string encodeJSON(const T& value) {
  return Coding::encode(JSONCoding::write(value));
}

template <class T>
Result<T, DecodingError> decodeJSON(const Json& value) {
  try {
    return JSONCoding::read<T>(value, "");
  } catch (const DecodingError& error) {
    return error;
  }
}

template <class T>
Result<T, DecodingError> decodeJSONText(std::string_view text) {
  auto parsed = Coding::parse(text);
  if (!parsed) {
    return parsed.error();
  }
  return decodeJSON<T>(*parsed);
}

}  // namespace tarvel
