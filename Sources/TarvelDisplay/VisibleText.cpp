#include "TarvelDisplay/VisibleText.hpp"

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

bool needsWork(std::string_view text) {
  for (const char byte : text) {
    const auto unit = static_cast<unsigned char>(byte);
    // Every hidden character is a byte below 0x20, DEL, or part of a multi-byte sequence.
    if ((unit < 0x20 && byte != '\n' && byte != '\t') || unit >= 0x7F) {
      return true;
    }
  }
  return false;
}

void apply(std::string& text) { text = visible(text); }

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
  if (event.pendingReply) {
    apply(event.pendingReply->prompt);
    apply(event.pendingReply->detail);
    apply(event.pendingReply->fullDetail);
  }
}

}  // namespace tarvel::Display::VisibleText
