#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"

// A user's JSON file as text: strict validation, and a map of where each object member and array
// element sits, so that an edit can splice bytes in and out and leave every other byte (numbers
// as written, duplicate keys, spacing, key order) exactly as it was.
// Pure functions over values; safe from any thread.
namespace tarvel::JSONText {

// Nesting deeper than this is refused before anything is built from the text.
inline constexpr std::size_t maximumDepth = 512;

// Why a text is not strict JSON, and where (1-based line and column of the first bad byte).
struct Problem {
  std::string description;  // "is not valid JSON", "holds comments", ...
  std::size_t line = 1;
  std::size_t column = 1;
  bool operator==(const Problem&) const = default;
};

// One JSON value's place in the text: [begin, end). Mapped objects list their members (decoded
// key and where the key's opening quote is) with the values as children; mapped arrays list
// their elements.
struct Node {
  enum class Kind { object, array, scalar };
  Kind kind = Kind::scalar;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::vector<std::string> keys;
  std::vector<std::size_t> keyBegins;
  std::vector<Node> children;
};

// The map of a text holding exactly one JSON value (white space around it allowed), with the
// children of the values in the first `mappedLevels` levels (the top value is level 0; deeper
// objects and arrays have their span only). Refuses a NUL byte anywhere, comments, anything after
// the value, invalid UTF-8 and nesting deeper than maximumDepth, without recursion on the
// unvalidated text.
Result<Node, Problem> parse(std::string_view text, std::size_t mappedLevels);

// One replacement of text[begin, end) by `bytes`.
struct Splice {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string bytes;
};

// `text` with the splices applied; they must not overlap.
std::string applied(std::string_view text, std::vector<Splice> splices);

// The splice that removes the children at `removed` (ascending, a proper subset of the
// children) from an object or array, with the separators that went with them: a later child
// goes with the comma and white space before it, the first with those after it.
std::vector<Splice> removingChildren(const Node& container,
                                     const std::vector<std::size_t>& removed);

// The splice that empties an object or array, leaving "{}" or "[]".
Splice emptying(const Node& container);

// The splice that appends `items` (each a member's `"key": value` or an element, already in
// JSON) to an object or array, each on a line of its own like the container's last child; a
// multi-line item's later lines are indented to match. An empty container gets them one level
// (`unit`) deeper than the line it starts on, or on one line when `unit` is empty.
Splice appending(std::string_view text, const Node& container,
                 const std::vector<std::string>& items, std::string_view unit);

// The text indenting one level in `text` ("  ", "\t", ...), judged from the first member or
// element (breadth first) on a line of its own; "" when the document is written on one line;
// two spaces for an empty document.
std::string indentUnit(std::string_view text, const Node& root);

// `json` (a dump indented with `unit`, or compact when `unit` is empty) re-indented so its
// second and later lines start with `indentation`.
std::string indented(std::string_view json, std::string_view indentation);

}  // namespace tarvel::JSONText
