// Decoding an event line without building a JSON tree of it.
//
// The event server decodes every event a hook sends, and building the document's tree (a node
// and an allocation per member) costs more than the rest of taking an event in. Here simdjson's
// on-demand parser reads the members in place: strings go straight into their fields, the origin
// and the metadata are read member by member, and only the rarer nested members (plan, workflow
// update, pending reply) are parsed on their own into small trees for the shared coders.
// Anything this path does not take outright (a wrong type, a duplicate, missing or unknown
// member, a number that is not a plain integer, a bad value, any parse error) is decoded again
// by the strict tree decoder, which gives the answer and its error: both paths accept exactly the
// same documents, and every refusal is the strict decoder's own.

#include <simdjson.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "TarvelCore/Models/AgentEvent.hpp"

namespace tarvel {
namespace {

namespace ondemand = simdjson::ondemand;

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

// The nested members parsed on their own into trees for the shared coders.
constexpr std::array<std::string_view, 3> treeKeys{"plan", "workflowUpdate", "pendingReply"};

constexpr std::string_view protocolVersionKey = "protocolVersion";
constexpr std::string_view originKey = "origin";
constexpr std::string_view metadataKey = "metadata";

// Lines up to this size reuse their thread's parser and buffer; a longer (rare) one gets its own,
// so that one large event does not keep megabytes per thread.
constexpr std::size_t reusedBufferBytes = 64 * 1024;

// What the members read so far hold; absent ones are left out of the record.
struct Members {
  std::array<std::optional<std::string>, static_cast<std::size_t>(TextField::count)> texts;
  std::optional<std::int64_t> protocolVersion;
  std::optional<AgentOrigin> origin;
  std::optional<std::map<std::string, std::string>> metadata;
  Json trees = Json::object();  // the nested members, by key
};

// Reads whether the value is null; false on a parse error.
bool readNull(ondemand::value& value, bool& null) {
  return value.is_null().get(null) == simdjson::SUCCESS;
}

// A JSON integer as the strict decoder reads it without converting: digits, optionally signed,
// within the 64-bit range. Fractions and exponents go to the strict decoder.
bool readPlainInteger(ondemand::value& value, std::int64_t& number) {
  std::string_view token = value.raw_json_token();
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t' ||
                            token.back() == '\n' || token.back() == '\r')) {
    token.remove_suffix(1);
  }
  for (const char character : token) {
    if ((character < '0' || character > '9') && character != '-') {
      return false;
    }
  }
  return value.get_int64().get(number) == simdjson::SUCCESS;
}

// A string member, or null for an absent one; false for anything else.
bool readOptionalText(ondemand::value& value, std::optional<std::string>& text) {
  bool null = false;
  if (!readNull(value, null)) {
    return false;
  }
  if (null) {
    text.reset();
    return true;
  }
  std::string_view read;
  if (value.get_string().get(read) != simdjson::SUCCESS) {
    return false;
  }
  text.emplace(read);
  return true;
}

enum class Opened { object, null, other };

// Opens a member's value as an object. Null leaves the member absent; anything else (or a parse
// error) is not taken here.
Opened openObject(ondemand::value& value, ondemand::object& object) {
  bool null = false;
  if (!readNull(value, null)) {
    return Opened::other;
  }
  if (null) {
    return Opened::null;
  }
  return value.get_object().get(object) == simdjson::SUCCESS ? Opened::object : Opened::other;
}

// The origin's members, each a string except the process id and its start time.
bool readOrigin(ondemand::value& value, std::optional<AgentOrigin>& result) {
  ondemand::object object;
  if (const Opened opened = openObject(value, object); opened != Opened::object) {
    return opened == Opened::null;
  }
  AgentOrigin origin;
  const std::array<std::pair<std::string_view, std::optional<std::string>*>, 7> texts{{
      {"bundleIdentifier", &origin.bundleIdentifier},
      {"terminalProgram", &origin.terminalProgram},
      {"terminalSessionIdentifier", &origin.terminalSessionIdentifier},
      {"tty", &origin.tty},
      {"tmux", &origin.tmux},
      {"tmuxPane", &origin.tmuxPane},
      {"host", &origin.host},
  }};
  std::bitset<texts.size() + 2> seen;
  for (auto member : object) {
    std::string_view key;
    ondemand::value field;
    if (member.unescaped_key().get(key) != simdjson::SUCCESS ||
        member.value().get(field) != simdjson::SUCCESS) {
      return false;
    }
    std::size_t slot = 0;
    while (slot < texts.size() && texts[slot].first != key) {
      ++slot;
    }
    if (slot < texts.size()) {
      if (seen.test(slot) || !readOptionalText(field, *texts[slot].second)) {
        return false;
      }
    } else if (key == "processIdentifier") {
      slot = texts.size();
      std::int64_t number = 0;
      if (seen.test(slot)) {
        return false;
      }
      bool null = false;
      if (!readNull(field, null)) {
        return false;
      }
      if (!null) {
        if (!readPlainInteger(field, number) || number < std::numeric_limits<std::int32_t>::min() ||
            number > std::numeric_limits<std::int32_t>::max()) {
          return false;
        }
        origin.processIdentifier = static_cast<std::int32_t>(number);
      }
    } else if (key == "processStartedAt") {
      slot = texts.size() + 1;
      std::optional<std::string> text;
      if (seen.test(slot) || !readOptionalText(field, text)) {
        return false;
      }
      if (text) {
        origin.processStartedAt = Dates::parseISO8601(*text);
        if (!origin.processStartedAt) {
          return false;
        }
      }
    } else {
      return false;  // unknown members are left to the strict decoder, which checks their JSON
    }
    seen.set(slot);
  }
  result = std::move(origin);
  return true;
}

// The metadata: an object of strings.
bool readMetadata(ondemand::value& value, std::optional<std::map<std::string, std::string>>& result) {
  ondemand::object object;
  if (const Opened opened = openObject(value, object); opened != Opened::object) {
    return opened == Opened::null;
  }
  std::map<std::string, std::string> metadata;
  for (auto member : object) {
    std::string_view key;
    std::string_view text;
    if (member.unescaped_key().get(key) != simdjson::SUCCESS) {
      return false;
    }
    if (member.value().get_string().get(text) != simdjson::SUCCESS ||
        !metadata.emplace(key, text).second) {
      return false;  // not a string, or the same key twice
    }
  }
  result = std::move(metadata);
  return true;
}

// A nested member's own text parsed into a tree; null leaves it absent.
bool readTree(ondemand::value& value, std::string_view key, Json& trees) {
  ondemand::object object;
  if (const Opened opened = openObject(value, object); opened != Opened::object) {
    return opened == Opened::null;
  }
  std::string_view text;
  // The member sits one level inside the document, whose depth the shared decoder bounds.
  if (object.raw_json().get(text) != simdjson::SUCCESS ||
      Coding::exceedsDepth(text, Coding::maximumDepth - 1)) {
    return false;
  }
  Json tree = Json::parse(text, nullptr, false);
  if (tree.is_discarded()) {
    return false;
  }
  trees[std::string(key)] = std::move(tree);
  return true;
}

using SeenMembers = std::bitset<textKeys.size() + treeKeys.size() + 3>;

// Reads one top-level member; false for a member seen before, an unknown one (the strict decoder
// checks and skips those) or one this path does not take.
bool readMember(std::string_view key, ondemand::value& value, Members& members,
                SeenMembers& seen) {
  std::size_t slot = 0;
  const auto firstTime = [&seen, &slot] { return !seen.test(slot) && (seen.set(slot), true); };
  for (; slot < textKeys.size(); ++slot) {
    if (textKeys[slot] == key) {
      return firstTime() && readOptionalText(value, members.texts[slot]);
    }
  }
  for (std::size_t index = 0; index < treeKeys.size(); ++index, ++slot) {
    if (treeKeys[index] == key) {
      return firstTime() && readTree(value, key, members.trees);
    }
  }
  if (key == protocolVersionKey) {
    std::int64_t number = 0;
    if (!firstTime() || !readPlainInteger(value, number)) {
      return false;
    }
    members.protocolVersion = number;
    return true;
  }
  ++slot;
  if (key == originKey) {
    return firstTime() && readOrigin(value, members.origin);
  }
  ++slot;
  if (key == metadataKey) {
    return firstTime() && readMetadata(value, members.metadata);
  }
  return false;
}

// The record from what was read; absent when the strict decoder has to decide.
std::optional<AgentEvent> assemble(Members& members) {
  const auto text = [&](TextField which) -> std::optional<std::string>& {
    return members.texts[static_cast<std::size_t>(which)];
  };
  if (!members.protocolVersion || !text(TextField::id) || !text(TextField::type) ||
      !text(TextField::sessionId) || !text(TextField::provider) || !text(TextField::timestamp)) {
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
    const JSONCoding::Fields fields(members.trees, "");
    return AgentEvent{
        .protocolVersion = *members.protocolVersion,
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
        .origin = std::move(members.origin),
        .metadata = std::move(members.metadata),
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

std::optional<AgentEvent> readEvent(ondemand::parser& parser, const simdjson::padded_string_view& input) {
  ondemand::document document;
  ondemand::object object;
  if (parser.iterate(input).get(document) != simdjson::SUCCESS ||
      document.get_object().get(object) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  Members members;
  SeenMembers seen;
  for (auto member : object) {
    std::string_view key;
    ondemand::value value;
    if (member.unescaped_key().get(key) != simdjson::SUCCESS ||
        member.value().get(value) != simdjson::SUCCESS || !readMember(key, value, members, seen)) {
      return std::nullopt;
    }
  }
  // Nothing may follow the object but blanks: the document has no token left.
  if (document.current_location().error() != simdjson::OUT_OF_BOUNDS) {
    return std::nullopt;
  }
  return assemble(members);
}

// The line copied into a buffer with the parser's padding after it.
std::optional<AgentEvent> readEvent(std::string_view line) {
  if (line.size() > reusedBufferBytes) {
    ondemand::parser parser;
    const simdjson::padded_string padded(line);
    return readEvent(parser, padded);
  }
  thread_local ondemand::parser parser;
  thread_local std::vector<char> buffer(reusedBufferBytes + simdjson::SIMDJSON_PADDING);
  std::memcpy(buffer.data(), line.data(), line.size());
  return readEvent(parser, simdjson::padded_string_view(buffer.data(), line.size(), buffer.size()));
}

}  // namespace

Result<AgentEvent, DecodingError> decodeEventLine(std::string_view line) {
  // The shared decoder refuses NUL bytes before parsing. Its depth bound needs no pass over the
  // whole line here: only the trees of nested members may be deep, and they are checked.
  if (line.find('\0') == std::string_view::npos) {
    if (auto event = readEvent(line)) {
      return std::move(*event);
    }
  }
  return decodeJSONText<AgentEvent>(line);
}

}  // namespace tarvel
