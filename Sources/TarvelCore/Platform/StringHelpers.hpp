#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Unicode-aware text helpers. "Characters" are user-perceived characters (extended grapheme
// clusters); bytes that are not valid UTF-8 count as one character each and are kept as they are.
namespace tarvel::Text {

// Whether the code point is white space or a newline (Unicode Zs, Zl, Zp, TAB through CR, NEL).
bool isWhitespaceOrNewline(char32_t codePoint);

// The text with white space and newlines removed from both ends.
std::string trimmed(std::string_view text);

// The trimmed text, or absent when nothing is left.
std::optional<std::string> nonEmpty(std::string_view text);
std::optional<std::string> nonEmpty(const std::optional<std::string>& text);
inline std::optional<std::string> nonEmpty(const char* text) {
  return nonEmpty(std::string_view(text));
}
inline std::optional<std::string> nonEmpty(const std::string& text) {
  return nonEmpty(std::string_view(text));
}

// Unicode simple case mapping of every code point.
std::string lowercased(std::string_view text);

// The lower-cased last non-empty "__" component of a tool name ("mcp__srv__Read" -> "read").
std::string toolIdentifier(std::string_view name);
std::string uppercased(std::string_view text);

// First letter of every word upper-case, the rest lower-case; words are separated by white space.
std::string capitalized(std::string_view text);

// Whether the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view text);

// Byte offsets at which each user-perceived character starts, plus text.size() at the end.
std::vector<std::size_t> characterBoundaries(std::string_view text);

// Number of user-perceived characters.
std::size_t characterCount(std::string_view text);

// The first `count` user-perceived characters (the whole text when it has no more).
std::string prefixCharacters(std::string_view text, std::size_t count);

// The last `count` user-perceived characters.
std::string suffixCharacters(std::string_view text, std::size_t count);

// Whether `text` starts or ends with `part` (byte comparison).
bool startsWith(std::string_view text, std::string_view part);
bool endsWith(std::string_view text, std::string_view part);

// Every occurrence of `from` replaced by `to`.
std::string replacingAll(std::string_view text, std::string_view from, std::string_view to);

// Splits at every occurrence of `separator` (kept empty pieces included).
std::vector<std::string> split(std::string_view text, std::string_view separator);

// The pieces between line feeds, vertical tabs, form feeds, carriage returns, U+0085, U+2028 and
// U+2029, without empty ones. The views borrow from `text`.
std::vector<std::string_view> nonEmptyLines(std::string_view text);

// Lower-cased with "-" replaced by "_": the normal form for comparing agents' words.
std::string normalizedWord(std::string_view text);

// The code points of the text; invalid bytes become U+FFFD.
std::u32string codePoints(std::string_view text);
std::string utf8(std::u32string_view codePoints);

}  // namespace tarvel::Text

namespace tarvel {
using Text::nonEmpty;
}  // namespace tarvel
