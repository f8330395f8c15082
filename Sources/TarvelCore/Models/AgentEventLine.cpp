// Decoding an event line without building a JSON tree of it.
//
// The event server decodes every event a hook sends, and building the document's tree (a node
// and an allocation per member) costs more than the rest of taking an event in. Here the parser's
// events fill the record directly: the plain members (strings, the protocol version) go straight
// into their fields, and only the few nested members (origin, metadata, plan, workflow update,
// pending reply) become small trees that the shared coders decode. Anything this path does not
// accept outright (a wrong type, a duplicate or missing member, a bad value) is decoded again by
// the strict tree decoder, which gives the answer and its error: both paths accept exactly the same
// documents, and every refusal is the strict decoder's own.

#include <array>
#include <bitset>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "TarvelCore/Models/AgentEvent.hpp"

namespace tarvel {
namespace {

// The members read as plain strings, in the record's order.
enum class TextField : std::size_t {
  id,
  type,
  sessionId,
  provider,
  task,
  activity,
  state,
  timestamp,
  workingDirectory,
  file,
  applicationURL,
  parentSessionId,
  agentRole,
  count,
};

constexpr std::array<std::string_view, static_cast<std::size_t>(TextField::count)> textKeys{
    "id",        "type",      "sessionId",      "provider", "task",
    "activity",  "state",     "timestamp",      "workingDirectory",
    "file",      "applicationURL", "parentSessionId", "agentRole"};

// The members kept as small trees for the shared coders.
constexpr std::array<std::string_view, 5> treeKeys{"origin", "metadata", "plan", "workflowUpdate",
                                                   "pendingReply"};

constexpr std::string_view protocolVersionKey = "protocolVersion";

// nlohmann's SAX interface. Returns false (stopping the parse) as soon as the document is not
// one this path takes; the caller then asks the strict decoder.
class EventReader {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  std::array<std::optional<std::string>, static_cast<std::size_t>(TextField::count)> texts;
  std::optional<std::int64_t> protocolVersion;
  Json trees = Json::object();  // the nested members, by key

  bool null() { return topLevelScalar([] { return true; }, Json(nullptr)); }
  bool boolean(bool value) { return topLevelScalar([] { return false; }, Json(value)); }
  bool number_integer(number_integer_t value) {
    return topLevelNumber(value, Json(value));
  }
  bool number_unsigned(number_unsigned_t value) {
    if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
      return topLevelScalar([] { return false; }, Json(value));
    }
    return topLevelNumber(static_cast<std::int64_t>(value), Json(value));
  }
  bool number_float(number_float_t value, const string_t&) {
    return topLevelScalar([] { return false; }, Json(value));
  }
  bool binary(binary_t&) { return false; }

  bool string(string_t& value) {
    if (depth > 1) {
      return skipping || addToTree(Json(std::move(value)));
    }
    if (depth == 0) {
      return false;  // the document is not an object
    }
    switch (member) {
      case Member::text:
        texts[textIndex] = std::move(value);
        return true;
      case Member::tree:
        trees[currentKey] = std::move(value);
        return true;
      case Member::unknown:
        return true;
      case Member::protocolVersion:
        return false;
    }
    return false;
  }

  bool start_object(std::size_t) { return startContainer(Json::object()); }
  bool start_array(std::size_t) {
    if (depth == 0) {
      return false;
    }
    return startContainer(Json::array());
  }
  bool end_object() { return endContainer(); }
  bool end_array() { return endContainer(); }

  bool key(string_t& name) {
    if (depth > 1) {
      if (!skipping) {
        pendingKeys.back() = std::move(name);
      }
      return true;
    }
    return beginMember(name);
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  enum class Member { text, tree, protocolVersion, unknown };

  bool beginMember(const std::string& name) {
    for (std::size_t index = 0; index < textKeys.size(); ++index) {
      if (textKeys[index] == name) {
        return claim(index, Member::text, name, index);
      }
    }
    for (std::size_t index = 0; index < treeKeys.size(); ++index) {
      if (treeKeys[index] == name) {
        return claim(textKeys.size() + index, Member::tree, name, 0);
      }
    }
    if (name == protocolVersionKey) {
      return claim(textKeys.size() + treeKeys.size(), Member::protocolVersion, name, 0);
    }
    member = Member::unknown;
    return true;
  }

  // A member seen twice goes to the strict decoder (whose tree keeps the last one).
  bool claim(std::size_t slot, Member kind, const std::string& name, std::size_t index) {
    if (seen.test(slot)) {
      return false;
    }
    seen.set(slot);
    member = kind;
    textIndex = index;
    currentKey = name;
    return true;
  }

  // A top-level null, boolean or float: taken only where the strict decoder would take it too
  // without looking (an unknown member, or a nested member's tree); `nullIsAbsent` says whether
  // a null there leaves an optional text member absent.
  template <class NullIsAbsent>
  bool topLevelScalar(NullIsAbsent nullIsAbsent, Json value) {
    if (depth > 1) {
      return skipping || addToTree(std::move(value));
    }
    if (depth == 0) {
      return false;
    }
    switch (member) {
      case Member::unknown:
        return true;
      case Member::tree:
        trees[currentKey] = std::move(value);
        return true;
      case Member::text:
        // Null leaves an optional member absent; the required ones are checked afterwards.
        return nullIsAbsent() && value.is_null();
      case Member::protocolVersion:
        return false;
    }
    return false;
  }

  bool topLevelNumber(std::int64_t number, Json value) {
    if (depth == 1 && member == Member::protocolVersion) {
      protocolVersion = number;
      return true;
    }
    return topLevelScalar([] { return false; }, std::move(value));
  }

  bool startContainer(Json empty) {
    ++depth;
    if (depth == 1) {
      return true;  // the document itself
    }
    if (depth == 2) {
      if (member == Member::unknown) {
        skipping = true;
        return true;
      }
      if (member != Member::tree) {
        return false;
      }
      trees[currentKey] = std::move(empty);
      stack.push_back(&trees[currentKey]);
      pendingKeys.emplace_back();
      return true;
    }
    if (skipping) {
      return true;
    }
    Json* added = addToTree(std::move(empty));
    if (added == nullptr) {
      return false;
    }
    stack.push_back(added);
    pendingKeys.emplace_back();
    return true;
  }

  bool endContainer() {
    if (depth == 0) {
      return false;
    }
    --depth;
    if (depth >= 1 && !skipping) {
      stack.pop_back();
      pendingKeys.pop_back();
    }
    if (depth == 1) {
      skipping = false;
    }
    return true;
  }

  // Adds a value to the innermost open container of a nested member's tree.
  Json* addToTree(Json value) {
    Json& container = *stack.back();
    if (container.is_array()) {
      container.push_back(std::move(value));
      return &container.back();
    }
    Json& slot = container[pendingKeys.back()];
    slot = std::move(value);
    return &slot;
  }

  std::size_t depth = 0;
  Member member = Member::unknown;
  std::size_t textIndex = 0;
  std::string currentKey;
  std::bitset<textKeys.size() + treeKeys.size() + 1> seen;
  bool skipping = false;  // inside an unknown member's value
  std::vector<Json*> stack;
  std::vector<std::string> pendingKeys;
};

// The record from what the reader collected; absent when the strict decoder has to decide.
std::optional<AgentEvent> assemble(EventReader& reader) {
  const auto text = [&](TextField which) -> std::optional<std::string>& {
    return reader.texts[static_cast<std::size_t>(which)];
  };
  if (!reader.protocolVersion || !text(TextField::id) || !text(TextField::type) || !text(TextField::sessionId) ||
      !text(TextField::provider) || !text(TextField::timestamp)) {
    return std::nullopt;
  }
  const auto id = UUID::parse(*text(TextField::id));
  const auto type = fromRawValue<AgentEventType>(*text(TextField::type));
  const auto timestamp = Dates::parseISO8601(*text(TextField::timestamp));
  if (!id || !type || !timestamp) {
    return std::nullopt;
  }
  std::optional<AgentState> state;
  if (text(TextField::state)) {
    state = fromRawValue<AgentState>(*text(TextField::state));
    if (!state) {
      return std::nullopt;
    }
  }
  if (text(TextField::applicationURL) && !isValidURLString(*text(TextField::applicationURL))) {
    return std::nullopt;
  }
  try {
    const JSONCoding::Fields fields(reader.trees, "");
    return AgentEvent{
        .protocolVersion = *reader.protocolVersion,
        .id = *id,
        .type = *type,
        .sessionId = std::move(*text(TextField::sessionId)),
        .provider = AgentProvider(*text(TextField::provider)),
        .task = std::move(text(TextField::task)),
        .activity = std::move(text(TextField::activity)),
        .state = state,
        .timestamp = *timestamp,
        .workingDirectory = std::move(text(TextField::workingDirectory)),
        .file = std::move(text(TextField::file)),
        .applicationURL = std::move(text(TextField::applicationURL)),
        .origin = fields.optional<AgentOrigin>("origin"),
        .metadata = fields.optional<std::map<std::string, std::string>>("metadata"),
        .parentSessionId = std::move(text(TextField::parentSessionId)),
        .agentRole = std::move(text(TextField::agentRole)),
        .plan = fields.optional<AgentPlan>("plan"),
        .workflowUpdate = fields.optional<AgentWorkflowUpdate>("workflowUpdate"),
        .pendingReply = fields.optional<AgentPendingReply>("pendingReply"),
    };
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

}  // namespace

Result<AgentEvent, DecodingError> decodeEventLine(std::string_view line) {
  // The same checks before parsing as the shared decoder's.
  if (!Coding::exceedsDepth(line, Coding::maximumDepth) &&
      line.find('\0') == std::string_view::npos) {
    EventReader reader;
    if (Json::sax_parse(line.begin(), line.end(), &reader)) {
      if (auto event = assemble(reader)) {
        return std::move(*event);
      }
    }
  }
  return decodeJSONText<AgentEvent>(line);
}

}  // namespace tarvel
