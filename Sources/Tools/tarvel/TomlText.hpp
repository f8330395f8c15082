#pragma once

#include <string>
#include <string_view>

namespace tarvel {

// `text` as a TOML basic string: quoted, with quotes, backslashes and control characters escaped.
inline std::string tomlString(std::string_view text) {
  std::string quoted = "\"";
  for (const char character : text) {
    const auto byte = static_cast<unsigned char>(character);
    if (character == '"' || character == '\\') {
      quoted += '\\';
      quoted += character;
    } else if (byte < 0x20 || byte == 0x7f) {
      constexpr char digits[] = "0123456789ABCDEF";
      quoted += "\\u00";
      quoted += digits[byte >> 4];
      quoted += digits[byte & 0xf];
    } else {
      quoted += character;
    }
  }
  return quoted + "\"";
}

}  // namespace tarvel
