#include "Tools/tarvel/JSONText.hpp"

#include <algorithm>
#include <optional>

#include <nlohmann/json.hpp>

namespace tarvel::JSONText {
namespace {

using Json = nlohmann::json;

// Checks the text with nlohmann's parser, which keeps its own stack and so cannot overflow
// ours, and builds nothing; stops as soon as the nesting passes maximumDepth.
class Validator final : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return true; }
  bool boolean(bool /*value*/) override { return true; }
  bool number_integer(number_integer_t /*value*/) override { return true; }
  bool number_unsigned(number_unsigned_t /*value*/) override { return true; }
  bool number_float(number_float_t /*value*/, const string_t& /*text*/) override { return true; }
  bool string(string_t& /*value*/) override { return true; }
  bool binary(binary_t& /*value*/) override { return true; }
  bool start_object(std::size_t /*elements*/) override { return enter(); }
  bool key(string_t& /*value*/) override { return true; }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t /*elements*/) override { return enter(); }
  bool end_array() override { return leave(); }
  bool parse_error(std::size_t position, const std::string& /*lastToken*/,
                   const nlohmann::detail::exception& /*error*/) override {
    errorPosition = position;
    return false;
  }

  bool tooDeep = false;
  std::optional<std::size_t> errorPosition;  // bytes read when the parser gave up

 private:
  bool enter() {
    tooDeep = ++depth > maximumDepth;
    return !tooDeep;
  }
  bool leave() {
    --depth;
    return true;
  }
  std::size_t depth = 0;
};

bool isWhiteSpace(char character) {
  return character == ' ' || character == '\t' || character == '\n' || character == '\r';
}

std::size_t skipWhiteSpace(std::string_view text, std::size_t at) {
  while (at < text.size() && isWhiteSpace(text[at])) {
    ++at;
  }
  return at;
}

// The offset of the opening bracket that first passes `limit` levels; for the message only.
std::size_t tooDeepOffset(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char character = text[at];
    if (inString) {
      escaped = !escaped && character == '\\';
      inString = escaped || character != '"';
      continue;
    }
    if (character == '"') {
      inString = true;
    } else if ((character == '[' || character == '{') && ++depth > limit) {
      return at;
    } else if ((character == ']' || character == '}') && depth > 0) {
      --depth;
    }
  }
  return text.size();
}

// Maps the validated text: every call starts at a value's first byte and returns past its last.
// Only the first `mappedLevels` levels get children; deeper values are skipped in one loop, so
// recursion stays that shallow and a large file costs one node per mapped value.
class Mapper {
 public:
  Mapper(std::string_view text, std::size_t mappedLevels)
      : text(text), mappedLevels(mappedLevels) {}

  Node value(std::size_t at, std::size_t level = 0) {
    Node node{.begin = at};
    const char first = text[at];
    if ((first == '{' || first == '[') && level >= mappedLevels) {
      node.kind = first == '{' ? Node::Kind::object : Node::Kind::array;
      node.end = skipContainer(at);
      return node;
    }
    if (first == '{' || first == '[') {
      node.kind = first == '{' ? Node::Kind::object : Node::Kind::array;
      const char close = first == '{' ? '}' : ']';
      at = skipWhiteSpace(text, at + 1);
      while (text[at] != close) {
        if (node.kind == Node::Kind::object) {
          const std::size_t keyEnd = stringEnd(at);
          node.keyBegins.push_back(at);
          node.keys.push_back(Json::parse(text.substr(at, keyEnd - at)).get<std::string>());
          at = skipWhiteSpace(text, skipWhiteSpace(text, keyEnd) + 1);  // past the colon
        }
        node.children.push_back(value(at, level + 1));
        at = skipWhiteSpace(text, node.children.back().end);
        if (text[at] == ',') {
          at = skipWhiteSpace(text, at + 1);
        }
      }
      node.end = at + 1;
      return node;
    }
    if (first == '"') {
      node.end = stringEnd(at);
      return node;
    }
    while (at < text.size() && !isWhiteSpace(text[at]) && text[at] != ',' && text[at] != ']' &&
           text[at] != '}') {
      ++at;
    }
    node.end = at;
    return node;
  }

 private:
  // Past the closing quote of the string whose opening quote is at `at`.
  std::size_t stringEnd(std::size_t at) const {
    for (++at; text[at] != '"'; ++at) {
      if (text[at] == '\\') {
        ++at;
      }
    }
    return at + 1;
  }

  // Past the bracket that closes the container opening at `at`.
  std::size_t skipContainer(std::size_t at) const {
    std::size_t depth = 0;
    for (;; ++at) {
      const char character = text[at];
      if (character == '"') {
        at = stringEnd(at) - 1;
      } else if (character == '{' || character == '[') {
        ++depth;
      } else if ((character == '}' || character == ']') && --depth == 0) {
        return at + 1;
      }
    }
  }

  std::string_view text;
  std::size_t mappedLevels = 0;
};

// Where the separator before child `index` starts: just past the opening bracket, or past the
// comma after the previous child.
std::size_t separatorBegin(std::string_view text, const Node& container, std::size_t index) {
  if (index == 0) {
    return container.begin + 1;
  }
  return text.find(',', container.children[index - 1].end) + 1;
}

std::size_t childBegin(const Node& container, std::size_t index) {
  return container.kind == Node::Kind::object ? container.keyBegins[index]
                                              : container.children[index].begin;
}

// The white space a line starts with, for the line holding byte `at`.
std::string_view lineIndentation(std::string_view text, std::size_t at) {
  const std::size_t lineStart = text.rfind('\n', at == 0 ? 0 : at - 1);
  const std::size_t begin = lineStart == std::string_view::npos || at == 0 ? 0 : lineStart + 1;
  std::size_t end = begin;
  while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) {
    ++end;
  }
  return text.substr(begin, end - begin);
}

// The problem at byte `offset` of `text`, with its 1-based line and column.
Problem locate(std::string description, std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t lastFeed = before.rfind('\n');
  return Problem{
      .description = std::move(description),
      .line = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n')) + 1,
      .column = lastFeed == std::string_view::npos ? offset + 1 : offset - lastFeed};
}

}  // namespace

Result<Node, Problem> parse(std::string_view text, std::size_t mappedLevels) {
  // The parser takes a NUL byte for the end of its input and would accept "{}\0anything".
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return locate("holds a NUL byte", text, nul);
  }
  Validator validator;
  if (!Json::sax_parse(text.begin(), text.end(), &validator)) {
    if (validator.tooDeep) {
      return locate(
          "nests arrays and objects deeper than " + std::to_string(maximumDepth) + " levels", text,
          tooDeepOffset(text, maximumDepth));
    }
    const std::size_t offset = validator.errorPosition.value_or(1) - 1;
    Validator lenient;
    if (Json::sax_parse(text.begin(), text.end(), &lenient, nlohmann::json::input_format_t::json,
                        true, true)) {
      return locate("holds comments", text, offset);
    }
    return locate("is not valid JSON", text, offset);
  }
  return Mapper(text, mappedLevels).value(skipWhiteSpace(text, 0));
}

std::string applied(std::string_view text, std::vector<Splice> splices) {
  std::sort(splices.begin(), splices.end(),
            [](const Splice& left, const Splice& right) { return left.begin < right.begin; });
  std::string result;
  std::size_t at = 0;
  for (const Splice& splice : splices) {
    result.append(text.substr(at, splice.begin - at));
    result.append(splice.bytes);
    at = splice.end;
  }
  result.append(text.substr(at));
  return result;
}

std::vector<Splice> removingChildren(const Node& container,
                                     const std::vector<std::size_t>& removed) {
  std::vector<Splice> splices;
  // Leading removed children go with what follows them, up to the first kept child.
  std::size_t firstKept = 0;
  while (firstKept < removed.size() && removed[firstKept] == firstKept) {
    ++firstKept;
  }
  if (firstKept > 0) {
    splices.push_back({.begin = childBegin(container, 0), .end = childBegin(container, firstKept)});
  }
  for (std::size_t index = firstKept; index < removed.size(); ++index) {
    const std::size_t child = removed[index];
    splices.push_back(
        {.begin = container.children[child - 1].end, .end = container.children[child].end});
  }
  return splices;
}

Splice emptying(const Node& container) {
  return {.begin = container.begin + 1, .end = container.end - 1};
}

Splice appending(std::string_view text, const Node& container,
                 const std::vector<std::string>& items, std::string_view unit) {
  if (container.children.empty()) {
    if (unit.empty()) {
      std::string joined;
      for (const auto& item : items) {
        joined += (joined.empty() ? "" : ",") + item;
      }
      return {.begin = container.begin + 1, .end = container.end - 1, .bytes = joined};
    }
    const std::string outer(lineIndentation(text, container.begin));
    const std::string inner = outer + std::string(unit);
    std::string bytes;
    for (const auto& item : items) {
      bytes += (bytes.empty() ? "\n" : ",\n") + inner + indented(item, inner);
    }
    return {.begin = container.begin + 1, .end = container.end - 1, .bytes = bytes + "\n" + outer};
  }
  const std::size_t last = container.children.size() - 1;
  const std::size_t separatorStart = separatorBegin(text, container, last);
  const std::string_view separator =
      text.substr(separatorStart, childBegin(container, last) - separatorStart);
  // Later lines of an item line up with the last child's line.
  const std::size_t feed = separator.rfind('\n');
  const std::string_view indentation = feed == std::string_view::npos
                                           ? lineIndentation(text, childBegin(container, last))
                                           : separator.substr(feed + 1);
  std::string bytes;
  for (const auto& item : items) {
    bytes += ',';
    bytes += separator;
    bytes += indented(item, indentation);
  }
  const std::size_t end = container.children[last].end;
  return {.begin = end, .end = end, .bytes = bytes};
}

std::string indentUnit(std::string_view text, const Node& root) {
  if (root.children.empty()) {
    return "  ";
  }
  // The first child on a line of its own, breadth first, tells the step from its container's
  // line to its own; a document with no such child is written on one line.
  constexpr std::size_t maximumVisited = 4096;
  std::vector<const Node*> queue{&root};
  for (std::size_t next = 0; next < queue.size() && next < maximumVisited; ++next) {
    const Node& container = *queue[next];
    const std::string_view outer = lineIndentation(text, container.begin);
    for (std::size_t index = 0; index < container.children.size(); ++index) {
      const std::size_t start = separatorBegin(text, container, index);
      const std::string_view separator = text.substr(start, childBegin(container, index) - start);
      const std::size_t feed = separator.rfind('\n');
      if (feed == std::string_view::npos) {
        continue;
      }
      const std::string_view inner = separator.substr(feed + 1);
      if (inner.size() > outer.size() && inner.starts_with(outer)) {
        return std::string(inner.substr(outer.size()));
      }
      return "  ";
    }
    for (const Node& child : container.children) {
      if (!child.children.empty()) {
        queue.push_back(&child);
      }
    }
  }
  return "";
}

std::string indented(std::string_view json, std::string_view indentation) {
  std::string result;
  std::size_t at = 0;
  while (true) {
    const std::size_t feed = json.find('\n', at);
    result.append(json.substr(at, feed == std::string_view::npos ? feed : feed + 1 - at));
    if (feed == std::string_view::npos) {
      return result;
    }
    result.append(indentation);
    at = feed + 1;
  }
}

}  // namespace tarvel::JSONText
