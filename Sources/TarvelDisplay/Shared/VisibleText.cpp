#include "TarvelDisplay/Shared/VisibleText.hpp"

#include <utf8proc.h>

#include <cstdio>

#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::Display::VisibleText {
namespace {

bool isHidden(char32_t point) {
  if (point == U'\n' || point == U'\t') {
    return false;
  }
  return point < 0x20 || (point >= 0x7F && point < 0xA0) ||  // C0, DEL, C1
         point == 0x061C ||                                    // Arabic letter mark
         point == 0x200E || point == 0x200F ||                 // left-to-right, right-to-left marks
         (point >= 0x202A && point <= 0x202E) ||               // embeddings and overrides
         (point >= 0x2066 && point <= 0x2069);                 // isolates
}

// Whether the text holds a hidden character, or bytes that are not UTF-8 (replaced by U+FFFD).
// Most texts have neither and are left as they are, without a copy.
bool needsWork(std::string_view text) {
  std::size_t position = 0;
  while (position < text.size()) {
    const auto unit = static_cast<unsigned char>(text[position]);
    if (unit < 0x80) {
      if ((unit < 0x20 && unit != '\n' && unit != '\t') || unit == 0x7F) {
        return true;
      }
      ++position;
      continue;
    }
    utf8proc_int32_t point = 0;
    const auto length =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + position),
                         static_cast<utf8proc_ssize_t>(text.size() - position), &point);
    if (length <= 0 || isHidden(static_cast<char32_t>(point))) {
      return true;
    }
    position += static_cast<std::size_t>(length);
  }
  return false;
}

void apply(std::string& text) {
  if (needsWork(text)) {
    text = visible(text);
  }
}

void apply(std::optional<std::string>& text) {
  if (text) {
    apply(*text);
  }
}

}  // namespace

std::string visible(std::string_view text) {
  if (!needsWork(text)) {
    return std::string(text);
  }
  std::u32string out;
  for (const char32_t point : Text::codePoints(text)) {
    if (!isHidden(point)) {
      out += point;
      continue;
    }
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(point));
    out += U'\u27E8';
    for (const char* letter = name; *letter != '\0'; ++letter) {
      out += static_cast<char32_t>(*letter);
    }
    out += U'\u27E9';
  }
  return Text::utf8(out);
}

void makeVisible(AgentEvent& event) {
  apply(event.task);
  apply(event.activity);
  apply(event.file);
  // The project's name and the host shown beside it come from these.
  apply(event.workingDirectory);
  if (event.origin) {
    apply(event.origin->host);
  }
  if (event.pendingReply) {
    apply(event.pendingReply->prompt);
    apply(event.pendingReply->detail);
    apply(event.pendingReply->fullDetail);
  }
}

}  // namespace tarvel::Display::VisibleText
