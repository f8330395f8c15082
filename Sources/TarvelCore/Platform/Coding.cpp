#include "TarvelCore/Platform/Coding.hpp"

#include <cmath>
#include <optional>

#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace Coding {

std::string encode(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool exceedsDepth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > limit) {
          return true;
        }
        break;
      case ']':
      case '}':
        if (depth > 0) {
          --depth;
        }
        break;
      default:
        break;
    }
  }
  return false;
}

namespace {

std::optional<unsigned> hexQuad(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    value <<= 4;
    if (c >= '0' && c <= '9') {
      value |= static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value |= static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value |= static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
  }
  return value;
}

// `text` with every escaped UTF-16 surrogate that has no partner escaped as U+FFFD instead, or
// nothing when it has none. JavaScript strings may hold such halves and Node's JSON writes them as
// escapes; the parser refuses them, which would lose a whole document for one character.
std::optional<std::string> withLoneSurrogatesReplaced(std::string_view text) {
  std::string repaired;
  bool changed = false;
  bool inString = false;
  std::size_t copied = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!inString) {
      inString = c == '"';
      continue;
    }
    if (c == '"') {
      inString = false;
      continue;
    }
    if (c != '\\' || i + 1 >= text.size()) {
      continue;
    }
    if (text[i + 1] != 'u') {
      ++i;  // a two-character escape
      continue;
    }
    const auto unit = hexQuad(text, i + 2);
    if (!unit || *unit < 0xD800 || *unit > 0xDFFF) {
      i += 1;
      continue;
    }
    if (*unit <= 0xDBFF && i + 7 < text.size() && text[i + 6] == '\\' && text[i + 7] == 'u') {
      const auto next = hexQuad(text, i + 8);
      if (next && *next >= 0xDC00 && *next <= 0xDFFF) {
        i += 11;  // a whole pair
        continue;
      }
    }
    repaired.append(text.substr(copied, i - copied)).append("\\uFFFD");
    copied = i + 6;
    i += 5;
    changed = true;
  }
  if (!changed) {
    return std::nullopt;
  }
  repaired.append(text.substr(copied));
  return repaired;
}

}  // namespace

Result<Json, DecodingError> parse(std::string_view text) {
  if (exceedsDepth(text, maximumDepth)) {
    return DecodingError{DecodingError::Kind::dataCorrupted, "",
                         "The given data was not valid JSON: nesting is too deep."};
  }
  // nlohmann's lexer takes a NUL byte for the end of the input and would accept "{}\0more";
  // no JSON text holds a NUL byte (inside strings it must be escaped).
  if (text.find('\0') != std::string_view::npos) {
    return DecodingError{DecodingError::Kind::dataCorrupted, "",
                         "The given data was not valid JSON: it holds a NUL byte."};
  }
  Json value = Json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded() && text.find("\\u") != std::string_view::npos) {
    if (const auto repaired = withLoneSurrogatesReplaced(text)) {
      value = Json::parse(repaired->begin(), repaired->end(), nullptr, false);
    }
  }
  if (value.is_discarded()) {
    return DecodingError{DecodingError::Kind::dataCorrupted, "",
                         "The given data was not valid JSON."};
  }
  return value;
}

}  // namespace Coding

namespace JSONCoding {

void fail(DecodingError::Kind kind, const std::string& path, std::string description) {
  throw DecodingError{kind, path, std::move(description)};
}

std::string jsonTypeName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::object:
      return "a dictionary";
    default:
      return "a number";
  }
}

void typeMismatch(const std::string& path, std::string_view expected, const Json& found) {
  fail(DecodingError::Kind::typeMismatch, path,
       "Expected to decode " + std::string(expected) + " but found " + jsonTypeName(found) +
           " instead.");
}

std::string member(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string element(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

std::string readString(const Json& value, const std::string& path) {
  if (!value.is_string()) {
    typeMismatch(path, "String", value);
  }
  return value.get_ref<const std::string&>();
}

bool readBool(const Json& value, const std::string& path) {
  if (!value.is_boolean()) {
    typeMismatch(path, "Bool", value);
  }
  return value.get<bool>();
}

std::int64_t readInteger(const Json& value, const std::string& path) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
      fail(DecodingError::Kind::dataCorrupted, path, "Number does not fit.");
    }
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    // Whole numbers written with a fraction (5.0) are integers too.
    const double number = value.get<double>();
    if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 9.2e18) {
      return static_cast<std::int64_t>(number);
    }
    fail(DecodingError::Kind::dataCorrupted, path, "Number is not an integer.");
  }
  typeMismatch(path, "Int", value);
}

double readNumber(const Json& value, const std::string& path) {
  if (!value.is_number()) {
    typeMismatch(path, "Double", value);
  }
  return value.get<double>();
}

Date readDate(const Json& value, const std::string& path) {
  const std::string text = readString(value, path);
  if (auto date = Dates::parseISO8601(text)) {
    return *date;
  }
  fail(DecodingError::Kind::dataCorrupted, path, "Invalid ISO 8601 timestamp");
}

UUID readUUID(const Json& value, const std::string& path) {
  const std::string text = readString(value, path);
  if (auto uuid = UUID::parse(text)) {
    return *uuid;
  }
  fail(DecodingError::Kind::dataCorrupted, path,
       "Attempted to decode UUID from invalid UUID string.");
}

Fields::Fields(const Json& value, std::string path) : object(value), path(std::move(path)) {
  if (!value.is_object()) {
    typeMismatch(this->path, "Dictionary", value);
  }
}

const Json* Fields::find(std::string_view key) const {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    return nullptr;
  }
  return &*it;
}

}  // namespace JSONCoding
}  // namespace tarvel
