#include "TarvelCore/Models/AgentTaskTitle.hpp"

#include <algorithm>
#include <vector>

#include <utf8proc.h>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::AgentTaskTitle {
namespace {

// Decodes the code point at `position` into `codePoint`; returns its byte length, or 0 when the
// byte there does not start a valid sequence.
std::size_t codePointAt(std::string_view text, std::size_t position, utf8proc_int32_t& codePoint) {
  const auto length =
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + position),
                       static_cast<utf8proc_ssize_t>(text.size() - position), &codePoint);
  return length > 0 ? static_cast<std::size_t>(length) : 0;
}

bool isASCIILetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool isTagNameCharacter(char c) {
  return isASCIILetter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Whether the whole text is one markup tag: "<" and an optional "/", a name of ASCII letters,
// digits, "_" and "-" that starts with a letter, optionally white space and anything but ">",
// then the closing ">" as the last character. One pass, no backtracking.
bool isLoneTag(std::string_view text) {
  if (text.size() < 3 || text.front() != '<' || text.back() != '>') {
    return false;
  }
  std::size_t position = 1;
  if (text[position] == '/') {
    ++position;
  }
  if (position >= text.size() || !isASCIILetter(text[position])) {
    return false;
  }
  ++position;
  while (position < text.size() && isTagNameCharacter(text[position])) {
    ++position;
  }
  if (position == text.size() - 1) {
    return true;  // the name is followed directly by the final ">"
  }
  utf8proc_int32_t codePoint = 0;
  const std::size_t length = codePointAt(text, position, codePoint);
  if (length == 0 || !Text::isWhitespaceOrNewline(static_cast<char32_t>(codePoint))) {
    return false;
  }
  // The attributes run to the final ">" and may not contain another one.
  const std::string_view attributes = text.substr(position, text.size() - 1 - position);
  return attributes.find('>') == std::string_view::npos;
}

// The length of a run of decimal digits (any script) starting at `position`.
std::size_t digitRunLength(std::string_view text, std::size_t position) {
  std::size_t end = position;
  while (end < text.size()) {
    if (text[end] >= '0' && text[end] <= '9') {
      ++end;
      continue;
    }
    if (static_cast<unsigned char>(text[end]) < 0x80) {
      break;
    }
    utf8proc_int32_t codePoint = 0;
    const std::size_t length = codePointAt(text, end, codePoint);
    if (length == 0 || utf8proc_category(codePoint) != UTF8PROC_CATEGORY_ND) {
      break;
    }
    end += length;
  }
  return end - position;
}

// The text with every "[Image #<digits>]" removed. A failed match only ever re-scans digits, which
// contain no "[", so the scan is linear.
std::string withoutImagePlaceholders(std::string_view text) {
  constexpr std::string_view opening = "[Image #";
  std::string result;
  result.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t bracket = text.find(opening, position);
    if (bracket == std::string_view::npos) {
      result.append(text.substr(position));
      break;
    }
    const std::size_t digitsStart = bracket + opening.size();
    const std::size_t digits = digitRunLength(text, digitsStart);
    const std::size_t closing = digitsStart + digits;
    if (digits > 0 && closing < text.size() && text[closing] == ']') {
      result.append(text.substr(position, bracket - position));
      position = closing + 1;
    } else {
      result.append(text.substr(position, bracket + 1 - position));
      position = bracket + 1;
    }
  }
  return result;
}

// Whether the lower-cased text begins with `prefix` (ASCII, lower case); lower-cases only as much
// of the text as the comparison needs.
bool lowercasedStartsWith(std::string_view text, std::string_view prefix) {
  // Lower-casing never shortens a code point below one byte, so 4 bytes per prefix byte suffice.
  const std::string head =
      Text::lowercased(text.substr(0, std::min(text.size(), prefix.size() * 4)));
  return Text::startsWith(head, prefix);
}

}  // namespace

std::optional<std::string> displayable(std::string_view text) {
  const std::string trimmedText = Text::trimmed(text);
  if (trimmedText.empty() || trimmedText == untitled || isLoneTag(trimmedText) ||
      isHousekeeping(trimmedText)) {
    return std::nullopt;
  }
  std::string stripped = Text::trimmed(withoutImagePlaceholders(trimmedText));
  if (stripped.empty() || isLoneTag(stripped) || lowercasedStartsWith(stripped, "you are ")) {
    return std::nullopt;
  }
  return stripped;
}

std::string assigned(const std::string& current, const std::optional<std::string>& incoming,
                     const std::optional<std::string>& projectName) {
  auto currentTitle = displayable(current);
  // When the incoming text cannot serve, the current title stays (cleaned when it can serve).
  const auto keepCurrent = [&](const std::string& otherwise) {
    if (currentTitle) {
      return std::move(*currentTitle);
    }
    return otherwise;
  };
  if (!incoming) {
    return keepCurrent(current);
  }
  if (isHousekeeping(*incoming)) {
    return keepCurrent(*incoming);
  }
  auto incomingTitle = displayable(*incoming);
  if (!incomingTitle) {
    return keepCurrent(current);
  }
  if (!currentTitle || (projectName && current == *projectName)) {
    return std::move(*incomingTitle);
  }
  return current;
}

bool isHousekeeping(std::string_view text) {
  const std::string lower = Text::lowercased(text);
  return lower.find("memory writing agent") != std::string::npos ||
         lower.find("<in-app-browser-context") != std::string::npos;
}

std::optional<std::string> fromPrompt(std::string_view prompt, int limit) {
  if (limit < 1) {
    return std::nullopt;
  }
  for (const std::string_view line : Text::nonEmptyLines(prompt)) {
    auto title = displayable(line);
    if (!title) {
      continue;
    }
    const auto count = static_cast<std::size_t>(limit);
    if (Text::characterCount(*title) > count) {
      return Text::prefixCharacters(*title, count - 1) + "\u2026";
    }
    return title;
  }
  return std::nullopt;
}

bool isInternalHelper(std::string_view text, const AgentProvider& provider) {
  const auto& prompts = AgentCatalogue::habitsOf(provider).helperPrompts;
  if (prompts.empty()) {
    return false;
  }
  const std::string trimmed = Text::trimmed(text);
  return std::any_of(prompts.begin(), prompts.end(), [&](std::string_view prompt) {
    return lowercasedStartsWith(trimmed, prompt);
  });
}

}  // namespace tarvel::AgentTaskTitle
