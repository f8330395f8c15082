// An event's text written directly, without building its JSON tree.
//
// Every hook encodes its event, and the service keeps each event it takes in as its text, so the
// tree (a node and an allocation per member, then a walk to print it) is a large part of both.
// This writer gives the same bytes as the shared encoder: members in the tree's key order, absent
// members left out, the same escapes. The rarer nested members (plan, workflow update, pending
// reply) are printed from their own trees, which prints them as the whole tree would. A text
// that is not UTF-8 goes to the shared encoder, which replaces its bad bytes.

#include <utf8proc.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"

namespace tarvel {
namespace {

// Appends the text as a JSON string, escaped as the shared encoder escapes it; false when it is
// not UTF-8.
bool appendString(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t plain = position;
    while (plain < text.size()) {
      const auto unit = static_cast<unsigned char>(text[plain]);
      if (unit < 0x20 || unit >= 0x80 || unit == '"' || unit == '\\') {
        break;
      }
      ++plain;
    }
    out.append(text.substr(position, plain - position));
    position = plain;
    if (position == text.size()) {
      break;
    }
    const auto unit = static_cast<unsigned char>(text[position]);
    if (unit >= 0x80) {
      utf8proc_int32_t point = 0;
      const auto length =
          utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + position),
                           static_cast<utf8proc_ssize_t>(text.size() - position), &point);
      if (length <= 0) {
        return false;
      }
      out.append(text.substr(position, static_cast<std::size_t>(length)));
      position += static_cast<std::size_t>(length);
      continue;
    }
    switch (unit) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default: {
        static constexpr char digits[] = "0123456789abcdef";
        const char escaped[] = {'\\', 'u', '0', '0', digits[unit >> 4], digits[unit & 0x0F]};
        out.append(escaped, sizeof escaped);
      }
    }
    ++position;
  }
  out.push_back('"');
  return true;
}

void appendInteger(std::string& out, std::int64_t number) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

// One JSON object, its members given in key order.
class ObjectWriter {
 public:
  ObjectWriter(std::string& out, bool& valid) : out(out), valid(valid) {}

  void text(std::string_view name, std::string_view value) {
    key(name);
    valid = appendString(out, value) && valid;
  }
  // A member whose name comes from an agent, escaped like any text.
  void entry(std::string_view name, std::string_view value) {
    out.push_back(empty ? '{' : ',');
    empty = false;
    valid = appendString(out, name) && valid;
    out.push_back(':');
    valid = appendString(out, value) && valid;
  }
  void optional(std::string_view name, const std::optional<std::string>& value) {
    if (value) {
      text(name, *value);
    }
  }
  void integer(std::string_view name, std::int64_t value) {
    key(name);
    appendInteger(out, value);
  }
  void date(std::string_view name, const std::optional<Date>& value) {
    if (value) {
      text(name, Dates::iso8601(*value));
    }
  }
  // A member printed from its own tree.
  template <class T>
  void tree(std::string_view name, const std::optional<T>& value) {
    if (value) {
      key(name);
      out.append(encodeJSON(*value));
    }
  }
  // Opens a nested object as the member's value.
  ObjectWriter nested(std::string_view name) {
    key(name);
    return ObjectWriter(out, valid);
  }
  void close() { out.append(empty ? "{}" : "}"); }

 private:
  void key(std::string_view name) {  // the record's own member names: plain ASCII
    out.push_back(empty ? '{' : ',');
    empty = false;
    out.push_back('"');
    out.append(name);
    out.append("\":");
  }

  std::string& out;
  bool& valid;
  bool empty = true;
};

void writeOrigin(ObjectWriter object, const AgentOrigin& origin) {
  object.optional("bundleIdentifier", origin.bundleIdentifier);
  object.optional("host", origin.host);
  if (origin.processIdentifier) {
    object.integer("processIdentifier", *origin.processIdentifier);
  }
  object.date("processStartedAt", origin.processStartedAt);
  object.optional("terminalProgram", origin.terminalProgram);
  object.optional("terminalSessionIdentifier", origin.terminalSessionIdentifier);
  object.optional("tmux", origin.tmux);
  object.optional("tmuxPane", origin.tmuxPane);
  object.optional("tty", origin.tty);
  object.close();
}

void writeMetadata(ObjectWriter object, const std::map<std::string, std::string>& metadata) {
  for (const auto& [name, value] : metadata) {
    object.entry(name, value);
  }
  object.close();
}

}  // namespace

template <>
std::string encodeJSON<AgentEvent>(const AgentEvent& event) {
  std::string out;
  out.reserve(512);
  bool valid = true;
  ObjectWriter object(out, valid);
  object.optional("activity", event.activity);
  object.optional("agentRole", event.agentRole);
  object.optional("applicationURL", event.applicationURL);
  object.optional("file", event.file);
  object.text("id", event.id.uuidString());
  if (event.metadata) {
    writeMetadata(object.nested("metadata"), *event.metadata);
  }
  if (event.origin) {
    writeOrigin(object.nested("origin"), *event.origin);
  }
  object.optional("parentSessionId", event.parentSessionId);
  object.tree("pendingReply", event.pendingReply);
  object.tree("plan", event.plan);
  object.integer("protocolVersion", event.protocolVersion);
  object.text("provider", event.provider.rawValue);
  object.text("sessionId", event.sessionId);
  if (event.state) {
    object.text("state", rawValue(*event.state));
  }
  object.optional("task", event.task);
  object.text("timestamp", Dates::iso8601(event.timestamp));
  object.text("type", rawValue(event.type));
  object.tree("workflowUpdate", event.workflowUpdate);
  object.optional("workingDirectory", event.workingDirectory);
  object.close();
  if (!valid) {
    return Coding::encode(toJSON(event));
  }
#ifndef NDEBUG
  // Debug builds (the tests') check every text against the tree's, so that a field added to the
  // record but not written here cannot go unnoticed.
  if (out != Coding::encode(toJSON(event))) {
    std::fputs("encodeJSON<AgentEvent>: the written text differs from the tree's\n", stderr);
    std::abort();
  }
#endif
  return out;
}

}  // namespace tarvel
