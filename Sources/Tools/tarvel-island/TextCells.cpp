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

std::vector<std::string> wrapped(std::string_view text, std::size_t cells) {
  std::vector<std::string> rows;
  std::vector<std::string_view> lines;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    lines.push_back(line);
    if (end == std::string_view::npos) {
      break;
    }
    start = end + 1;
  }
  if (cells < 4) {
    for (const std::string_view line : lines) {
      rows.push_back(fitted(line, cells));
    }
    return rows;
  }
  const std::size_t continuedCells = width(continuedMark);
  const std::size_t continuationCells = width(continuationMark);
  for (const std::string_view line : lines) {
    const std::vector<Glyph> all = glyphs(line);
    std::size_t next = 0;
    bool first = true;
    do {
      std::string row = first ? std::string() : std::string(continuationMark);
      std::size_t used = first ? 0 : continuationCells;
      // What is left of the line fits in this row: the row ends the line.
      std::size_t rest = 0;
      for (std::size_t index = next; index < all.size(); ++index) {
        rest += all[index].cells;
      }
      if (used + rest <= cells) {
        for (; next < all.size(); ++next) {
          row += all[next].bytes;
        }
        rows.push_back(std::move(row));
        break;
      }
      const std::size_t room = cells - continuedCells;
      const std::size_t before = next;
      while (next < all.size() && used + all[next].cells <= room) {
        row += all[next].bytes;
        used += all[next].cells;
        ++next;
      }
      if (next == before && next < all.size()) {
        ++next;  // a glyph wider than the room: dropped rather than looping
      }
      row.append(room - used, ' ');
      row += continuedMark;
      rows.push_back(std::move(row));
      first = false;
    } while (next <= all.size());
  }
  return rows;
}

}  // namespace tarvel::Island::TextCells
