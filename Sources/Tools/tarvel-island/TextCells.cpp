#include "Tools/tarvel-island/TextCells.hpp"

#include <utf8proc.h>

#include <vector>

namespace tarvel::Island::TextCells {
namespace {

struct Glyph {
  std::string bytes;
  std::size_t cells = 0;
};

// Decodes into printable code points with their widths.
std::vector<Glyph> glyphs(std::string_view text) {
  std::vector<Glyph> result;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(text.size());
  while (remaining > 0) {
    utf8proc_int32_t codePoint = 0;
    utf8proc_ssize_t length = utf8proc_iterate(bytes, remaining, &codePoint);
    if (length <= 0) {
      codePoint = 0xFFFD;
      length = 1;
    }
    bytes += length;
    remaining -= length;
    if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0) || codePoint == 0x2028 ||
        codePoint == 0x2029) {
      codePoint = ' ';
    }
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t encodedLength = utf8proc_encode_char(codePoint, encoded);
    const int cells = utf8proc_charwidth(codePoint);
    result.push_back({.bytes = std::string(reinterpret_cast<const char*>(encoded),
                                           static_cast<std::size_t>(encodedLength)),
                      .cells = static_cast<std::size_t>(cells < 0 ? 0 : cells)});
  }
  return result;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const Glyph& glyph : glyphs(text)) {
    result += glyph.bytes;
  }
  return result;
}

std::size_t width(std::string_view text) {
  std::size_t cells = 0;
  for (const Glyph& glyph : glyphs(text)) {
    cells += glyph.cells;
  }
  return cells;
}

std::string fitted(std::string_view text, std::size_t cells, bool pad) {
  const std::vector<Glyph> all = glyphs(text);
  std::size_t total = 0;
  for (const Glyph& glyph : all) {
    total += glyph.cells;
  }
  std::string result;
  std::size_t used = 0;
  if (total <= cells) {
    for (const Glyph& glyph : all) {
      result += glyph.bytes;
    }
    used = total;
  } else if (cells > 0) {
    const std::size_t room = cells - 1;  // one cell for the ellipsis
    for (const Glyph& glyph : all) {
      if (used + glyph.cells > room) {
        break;
      }
      result += glyph.bytes;
      used += glyph.cells;
    }
    result += "…";
    ++used;
  }
  if (pad && used < cells) {
    result.append(cells - used, ' ');
  }
  return result;
}

}  // namespace tarvel::Island::TextCells
