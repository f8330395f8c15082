#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Text measured in terminal cells. Agent texts reach the screen only through these functions,
// which turn control characters (escape sequences included) into spaces so that no text can
// move the cursor or change the terminal's modes.
namespace tarvel::Island::TextCells {

// The text with every control character (C0, DEL, C1) and line break replaced by a space, and
// malformed UTF-8 replaced by U+FFFD.
std::string printable(std::string_view text);

// Cells the printable text takes: 2 for wide characters (CJK), 0 for combining marks.
std::size_t width(std::string_view text);

// The printable text cut to at most `cells` cells (ending in "…" when cut) and padded with
// spaces to exactly `cells` when `pad`.
std::string fitted(std::string_view text, std::size_t cells, bool pad = false);

// Ends a row whose text goes on in the next row, and starts that next row.
inline constexpr std::string_view continuedMark = "↩";
inline constexpr std::string_view continuationMark = "↪";

// The printable text broken into rows of at most `cells` cells: a row per line of the text
// ("\n" ends a line), a line wider than the room wrapped (never cut), every wrapped row ending
// in `continuedMark` and every row that carries on a line starting with `continuationMark`.
// Spaces are kept as they are, so that blanks inside a line show. `cells` below 4 gives rows
// cut with "…" instead.
std::vector<std::string> wrapped(std::string_view text, std::size_t cells);

}  // namespace tarvel::Island::TextCells
