#pragma once

#include <cstddef>
#include <string_view>

// Splitting agents' texts into lines the way a reader sees them.
namespace tarvel::ProviderTextLines {

// The length of the line break at `position` (LF, VT, FF, CR, CR LF, NEL, U+2028, U+2029), or 0
// when none starts there. Byte patterns of well-formed UTF-8 only: a stray byte is no break.
inline std::size_t lineBreakLength(std::string_view text, std::size_t position) {
  const auto byte = static_cast<unsigned char>(text[position]);
  if (byte == '\r') {
    return position + 1 < text.size() && text[position + 1] == '\n' ? 2 : 1;
  }
  if (byte >= 0x0A && byte <= 0x0C) {
    return 1;
  }
  if (byte == 0xC2 && position + 1 < text.size() &&
      static_cast<unsigned char>(text[position + 1]) == 0x85) {
    return 2;
  }
  if (byte == 0xE2 && position + 2 < text.size() &&
      static_cast<unsigned char>(text[position + 1]) == 0x80) {
    const auto last = static_cast<unsigned char>(text[position + 2]);
    return last == 0xA8 || last == 0xA9 ? 3 : 0;
  }
  return 0;
}

// Calls `visit(line)` for each line of `text` in order, until it returns false. Empty lines are
// passed only when `keepEmpty`; a text ending in a line break has an empty last line.
template <class Visit>
void forEachLine(std::string_view text, bool keepEmpty, Visit visit) {
  std::size_t start = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t breakLength = lineBreakLength(text, position);
    if (breakLength == 0) {
      ++position;
      continue;
    }
    const std::string_view line = text.substr(start, position - start);
    if ((keepEmpty || !line.empty()) && !visit(line)) {
      return;
    }
    position += breakLength;
    start = position;
  }
  const std::string_view line = text.substr(start);
  if (keepEmpty || !line.empty()) {
    visit(line);
  }
}

}  // namespace tarvel::ProviderTextLines
