#include "TarvelCore/Platform/StringHelpers.hpp"

#include <algorithm>

#include <utf8proc.h>

namespace tarvel::Text {
namespace {

// Decodes one code point at `position`; returns its length in bytes, or -1 for an invalid byte.
utf8proc_ssize_t decodeAt(std::string_view text, std::size_t position,
                          utf8proc_int32_t& codePoint) {
  return utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + position),
                          static_cast<utf8proc_ssize_t>(text.size() - position), &codePoint);
}

void appendCodePoint(std::string& out, utf8proc_int32_t codePoint) {
  utf8proc_uint8_t buffer[4];
  const auto length = utf8proc_encode_char(codePoint, buffer);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

// Applies `map` to every valid code point, keeping invalid bytes unchanged.
template <class Map>
std::string mapCodePoints(std::string_view text, Map map) {
  std::string out;
  out.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    utf8proc_int32_t codePoint = 0;
    const auto length = decodeAt(text, position, codePoint);
    if (length <= 0) {
      out.push_back(text[position]);
      ++position;
      continue;
    }
    appendCodePoint(out, map(codePoint));
    position += static_cast<std::size_t>(length);
  }
  return out;
}

}  // namespace

bool isWhitespaceOrNewline(char32_t codePoint) {
  if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x20 || codePoint == 0x85) {
    return true;
  }
  if (codePoint < 0x80) {
    return false;
  }
  const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(codePoint));
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

std::string trimmed(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    utf8proc_int32_t codePoint = 0;
    const auto length = decodeAt(text, start, codePoint);
    if (length <= 0 || !isWhitespaceOrNewline(static_cast<char32_t>(codePoint))) {
      break;
    }
    start += static_cast<std::size_t>(length);
  }
  // Walk backwards over whole code points: find each code point's first byte.
  std::size_t end = text.size();
  while (end > start) {
    std::size_t begin = end - 1;
    while (begin > start && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80 &&
           end - begin < 4) {
      --begin;
    }
    utf8proc_int32_t codePoint = 0;
    const auto length = decodeAt(text.substr(0, end), begin, codePoint);
    if (length <= 0 || begin + static_cast<std::size_t>(length) != end ||
        !isWhitespaceOrNewline(static_cast<char32_t>(codePoint))) {
      break;
    }
    end = begin;
  }
  return std::string(text.substr(start, end - start));
}

std::optional<std::string> nonEmpty(std::string_view text) {
  std::string result = trimmed(text);
  if (result.empty()) {
    return std::nullopt;
  }
  return result;
}

std::optional<std::string> nonEmpty(const std::optional<std::string>& text) {
  if (!text) {
    return std::nullopt;
  }
  return nonEmpty(std::string_view(*text));
}

std::string lowercased(std::string_view text) {
  // ASCII text (most of it) maps byte by byte, as the Unicode tables would map it.
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
      }
    }
    return out;
  }
  return mapCodePoints(text, [](utf8proc_int32_t c) { return utf8proc_tolower(c); });
}

std::string uppercased(std::string_view text) {
  return mapCodePoints(text, [](utf8proc_int32_t c) { return utf8proc_toupper(c); });
}

std::string capitalized(std::string_view text) {
  bool atWordStart = true;
  return mapCodePoints(text, [&atWordStart](utf8proc_int32_t c) {
    if (isWhitespaceOrNewline(static_cast<char32_t>(c))) {
      atWordStart = true;
      return c;
    }
    const auto mapped = atWordStart ? utf8proc_totitle(c) : utf8proc_tolower(c);
    atWordStart = false;
    return mapped;
  });
}

bool isValidUTF8(std::string_view text) {
  std::size_t position = 0;
  while (position < text.size()) {
    const auto byte = static_cast<unsigned char>(text[position]);
    if (byte < 0x80) {
      ++position;
      continue;
    }
    utf8proc_int32_t codePoint = 0;
    const auto length = decodeAt(text, position, codePoint);
    if (length <= 0) {
      return false;
    }
    position += static_cast<std::size_t>(length);
  }
  return true;
}

std::vector<std::size_t> characterBoundaries(std::string_view text) {
  std::vector<std::size_t> boundaries;
  boundaries.reserve(text.size() + 1);
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    utf8proc_int32_t codePoint = 0;
    auto length = decodeAt(text, position, codePoint);
    if (length <= 0) {
      // An invalid byte stands alone as one character.
      boundaries.push_back(position);
      previous = -1;
      state = 0;
      ++position;
      continue;
    }
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codePoint, &state)) {
      boundaries.push_back(position);
    }
    previous = codePoint;
    position += static_cast<std::size_t>(length);
  }
  boundaries.push_back(text.size());
  return boundaries;
}

std::size_t characterCount(std::string_view text) {
  if (text.empty()) {
    return 0;
  }
  return characterBoundaries(text).size() - 1;
}

std::string prefixCharacters(std::string_view text, std::size_t count) {
  // Fast path: pure ASCII text shorter than the limit.
  if (text.size() <= count) {
    return std::string(text);
  }
  const auto boundaries = characterBoundaries(text);
  if (boundaries.size() - 1 <= count) {
    return std::string(text);
  }
  return std::string(text.substr(0, boundaries[count]));
}

std::string suffixCharacters(std::string_view text, std::size_t count) {
  const auto boundaries = characterBoundaries(text);
  const std::size_t characters = boundaries.size() - 1;
  if (characters <= count) {
    return std::string(text);
  }
  return std::string(text.substr(boundaries[characters - count]));
}

bool startsWith(std::string_view text, std::string_view part) { return text.starts_with(part); }
bool endsWith(std::string_view text, std::string_view part) { return text.ends_with(part); }

std::string replacingAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) {
    return std::string(text);
  }
  std::string out;
  out.reserve(text.size());
  std::size_t position = 0;
  while (true) {
    const auto found = text.find(from, position);
    if (found == std::string_view::npos) {
      out.append(text.substr(position));
      return out;
    }
    out.append(text.substr(position, found - position));
    out.append(to);
    position = found + from.size();
  }
}

std::vector<std::string> split(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  std::size_t position = 0;
  while (true) {
    const auto found = text.find(separator, position);
    if (found == std::string_view::npos) {
      pieces.emplace_back(text.substr(position));
      return pieces;
    }
    pieces.emplace_back(text.substr(position, found - position));
    position = found + separator.size();
  }
}

std::vector<std::string_view> nonEmptyLines(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  std::size_t position = 0;
  const auto cut = [&](std::size_t separatorLength) {
    if (position > start) {
      pieces.push_back(text.substr(start, position - start));
    }
    position += separatorLength;
    start = position;
  };
  while (position < text.size()) {
    const auto byte = static_cast<unsigned char>(text[position]);
    if (byte >= 0x0A && byte <= 0x0D) {
      cut(1);
    } else if (byte == 0xC2 && position + 1 < text.size() &&
               static_cast<unsigned char>(text[position + 1]) == 0x85) {
      cut(2);
    } else if (byte == 0xE2 && position + 2 < text.size() &&
               static_cast<unsigned char>(text[position + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[position + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[position + 2]) == 0xA9)) {
      cut(3);
    } else {
      ++position;
    }
  }
  if (position > start) {
    pieces.push_back(text.substr(start, position - start));
  }
  return pieces;
}

std::string normalizedWord(std::string_view text) {
  return lowercased(replacingAll(text, "-", "_"));
}

std::u32string codePoints(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    utf8proc_int32_t codePoint = 0;
    const auto length = decodeAt(text, position, codePoint);
    if (length <= 0) {
      out.push_back(U'\uFFFD');
      ++position;
      continue;
    }
    out.push_back(static_cast<char32_t>(codePoint));
    position += static_cast<std::size_t>(length);
  }
  return out;
}

std::string utf8(std::u32string_view points) {
  std::string out;
  out.reserve(points.size());
  for (const char32_t c : points) {
    appendCodePoint(out, static_cast<utf8proc_int32_t>(c));
  }
  return out;
}

std::string toolIdentifier(std::string_view name) {
  std::string_view last;
  std::size_t position = 0;
  while (position <= name.size()) {
    const std::size_t found = name.find("__", position);
    const std::size_t end = found == std::string_view::npos ? name.size() : found;
    if (end > position) {
      last = name.substr(position, end - position);
    }
    if (found == std::string_view::npos) {
      break;
    }
    position = found + 2;
  }
  return lowercased(last.empty() ? name : last);
}

}  // namespace tarvel::Text
