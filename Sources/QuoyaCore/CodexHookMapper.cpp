#include "QuoyaCore/CodexHookMapper.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "TarvelCore/Platform/StringHelpers.hpp"
#include "TarvelCore/Platform/UUID.hpp"

namespace quoya {
namespace {

using tarvel::AgentEvent;
using tarvel::AgentEventType;
using tarvel::AgentProvider;
using tarvel::AgentState;
using tarvel::DecodingError;
using tarvel::Json;

constexpr std::array<std::string_view, 6> inputKeys{
    "session_id", "hook_event_name", "cwd", "turn_id", "tool_name", "notification_type",
};

// Collects the top-level values of the six input keys while the parser walks the document, so
// that no tree of the document is ever built. Strings are kept; any other value is kept as an
// empty value of its JSON type, which is all the decoder needs to report the type mismatch.
// The parser itself is iterative, and the depth limit here stops it before its own stack of
// open containers grows past 512 entries.
class InputKeyCollector {
 public:
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  bool null() { return scalar(Json(nullptr)); }
  bool boolean(bool) { return scalar(Json(false)); }
  bool number_integer(Json::number_integer_t) { return scalar(Json(0)); }
  bool number_unsigned(Json::number_unsigned_t) { return scalar(Json(0)); }
  bool number_float(Json::number_float_t, const string_t&) { return scalar(Json(0)); }
  bool string(string_t& text) { return scalar(Json(std::move(text))); }
  bool binary(binary_t&) { return scalar(Json(nullptr)); }

  bool start_object(std::size_t) { return open(Json::object()); }
  bool start_array(std::size_t) { return open(Json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& name) {
    pendingKey.reset();
    if (depth == 1) {
      const auto found = std::find(inputKeys.begin(), inputKeys.end(), name);
      if (found != inputKeys.end()) {
        pendingKey = static_cast<std::size_t>(found - inputKeys.begin());
      }
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool tooDeep = false;
  // The document's root as an empty value of its type (an object holding the six keys found).
  Json root;

 private:
  bool scalar(Json value) {
    if (depth == 0) {
      root = std::move(value);
    } else {
      store(std::move(value));
    }
    return true;
  }

  bool open(Json emptyContainer) {
    if (depth == 0) {
      root = std::move(emptyContainer);
    } else {
      store(std::move(emptyContainer));
    }
    if (++depth > tarvel::Coding::maximumDepth) {
      tooDeep = true;
      return false;
    }
    return true;
  }

  bool close() {
    --depth;
    return true;
  }

  // A value directly inside the root object, under one of the six keys. A repeated key keeps its
  // last value, as the tree decoder does.
  void store(Json value) {
    if (depth == 1 && pendingKey && root.is_object()) {
      root[std::string(inputKeys[*pendingKey])] = std::move(value);
    }
    pendingKey.reset();
  }

  std::size_t depth = 0;
  std::optional<std::size_t> pendingKey;
};

// The last component of a file path, trailing slashes ignored; "/" for the root itself.
std::string lastPathComponent(std::string_view path) {
  const std::size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) {
    return path.empty() ? std::string() : std::string("/");
  }
  const std::string_view trimmed = path.substr(0, end + 1);
  const std::size_t slash = trimmed.find_last_of('/');
  return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

bool isQuestionTool(const std::optional<std::string>& toolName) {
  return toolName && (toolName->find("request_user_input") != std::string::npos ||
                      *toolName == "AskUserQuestion");
}

bool isCanonical(std::string_view name) {
  return std::find(CodexHookMapper::canonicalEvents.begin(),
                   CodexHookMapper::canonicalEvents.end(),
                   name) != CodexHookMapper::canonicalEvents.end();
}

struct Presentation {
  AgentEventType type = AgentEventType::activity;
  AgentState state = AgentState::unknown;
  std::string_view activity;
};

// Only called with canonical names.
Presentation presentation(std::string_view name, const std::optional<std::string>& toolName) {
  if (name == "SessionStart") {
    return {AgentEventType::started, AgentState::idle, "会话已连接，等待新任务"};
  }
  if (name == "UserPromptSubmit") {
    return {AgentEventType::started, AgentState::thinking, "收到新任务，AI 正在处理"};
  }
  if (name == "PermissionRequest") {
    return {AgentEventType::waiting, AgentState::waitingForUser, "AI 请求权限，请回原会话确认"};
  }
  if (name == "PreToolUse") {
    if (isQuestionTool(toolName)) {
      return {AgentEventType::waiting, AgentState::waitingForUser,
              "AI 需要你的回答，请回原会话处理"};
    }
    return {AgentEventType::toolStarted, AgentState::executingTool, "AI 正在调用工具"};
  }
  if (name == "PostToolUse") {
    return {AgentEventType::toolCompleted, AgentState::running, "工具已返回，AI 正在继续处理"};
  }
  if (name == "Stop") {
    return {AgentEventType::completed, AgentState::completed, "本轮回复已结束，请审核结果"};
  }
  if (name == "Interrupt") {
    return {AgentEventType::completed, AgentState::idle, "本轮已中断"};
  }
  if (name == "SessionEnd") {
    return {AgentEventType::completed, AgentState::idle, "会话已关闭"};
  }
  return {AgentEventType::failed, AgentState::failed, "本轮异常结束，请回原会话查看原因"};
}

}  // namespace

tarvel::Result<CodexHookInput, DecodingError> CodexHookInput::decode(std::string_view data) {
  // The parser would take a NUL byte for the end of the input and accept "{...}\0garbage".
  if (data.find('\0') != std::string_view::npos) {
    return DecodingError{DecodingError::Kind::dataCorrupted, "",
                         "The given data was not valid JSON: it holds a NUL byte."};
  }
  InputKeyCollector collector;
  const bool parsed = Json::sax_parse(data.begin(), data.end(), &collector);
  if (collector.tooDeep) {
    return DecodingError{DecodingError::Kind::dataCorrupted, "",
                         "The given data was not valid JSON: nesting is too deep."};
  }
  if (!parsed) {
    return DecodingError{DecodingError::Kind::dataCorrupted, "",
                         "The given data was not valid JSON."};
  }
  try {
    const tarvel::JSONCoding::Fields fields(collector.root, "");
    return CodexHookInput{
        .sessionID = fields.required<std::string>("session_id"),
        .eventName = fields.required<std::string>("hook_event_name"),
        .cwd = fields.optional<std::string>("cwd"),
        .turnID = fields.optional<std::string>("turn_id"),
        .toolName = fields.optional<std::string>("tool_name"),
        .notificationType = fields.optional<std::string>("notification_type"),
    };
  } catch (const DecodingError& error) {
    return error;
  }
}

namespace CodexHookMapper {

std::string sourceFor(const AgentProvider& provider) {
  return "quoya-" + provider.rawValue + "-hook-v1";
}

bool supported(const AgentProvider& provider) {
  return provider == AgentProvider::codex || provider == AgentProvider::claudeCode ||
         provider == AgentProvider::geminiCLI;
}

std::string_view geminiEventName(std::string_view name) {
  if (name == "BeforeAgent") return "UserPromptSubmit";
  if (name == "AfterAgent") return "Stop";
  if (name == "BeforeTool") return "PreToolUse";
  if (name == "AfterTool") return "PostToolUse";
  return name;
}

tarvel::Result<std::optional<AgentEvent>, DecodingError> event(std::string_view data,
                                                                tarvel::Date now,
                                                                const AgentProvider& provider) {
  if (data.size() > maximumDocumentBytes) {
    return std::optional<AgentEvent>();
  }
  auto input = CodexHookInput::decode(data);
  if (!input) {
    return input.error();
  }
  return event(*input, now, provider);
}

std::optional<AgentEvent> event(const CodexHookInput& input, tarvel::Date now,
                                const AgentProvider& provider) {
  if (!supported(provider)) {
    return std::nullopt;
  }
  if (input.sessionID.empty() || input.sessionID.size() > maximumIdentifierBytes) {
    return std::nullopt;
  }
  std::string name = input.eventName;
  if (provider == AgentProvider::geminiCLI) {
    name = std::string(geminiEventName(name));
  }
  if (name == "Notification") {
    const std::string_view expected =
        provider == AgentProvider::geminiCLI ? "ToolPermission" : "permission_prompt";
    if (input.notificationType != expected) {
      return std::nullopt;
    }
    name = "PermissionRequest";
  } else if (name == "PostToolUseFailure" && provider == AgentProvider::claudeCode) {
    name = "PostToolUse";
  }
  if (!isCanonical(name)) {
    return std::nullopt;
  }

  std::string title = input.cwd ? lastPathComponent(*input.cwd) : std::string();
  if (title.empty()) {
    title = "本地任务";
  }
  const Presentation chosen = presentation(name, input.toolName);

  std::map<std::string, std::string> metadata{
      {"quoyaSource", sourceFor(provider)},
      {"hookEvent", name},
      {"threadID", input.sessionID},
  };
  if (input.turnID && !input.turnID->empty() &&
      input.turnID->size() <= maximumIdentifierBytes) {
    metadata.emplace("turnID", *input.turnID);
  }

  return AgentEvent{
      .protocolVersion = tarvel::currentProtocolVersion,
      .id = tarvel::UUID::random(),
      .type = chosen.type,
      .sessionId = input.sessionID,
      .provider = provider,
      .task = title + " · " + tarvel::Text::suffixCharacters(input.sessionID, 6),
      .activity = std::string(chosen.activity),
      .state = chosen.state,
      .timestamp = now,
      .workingDirectory = input.cwd,
      .metadata = std::move(metadata),
  };
}

std::optional<std::string> sessionURL(std::string_view threadID) {
  if (!tarvel::UUID::parse(threadID)) {
    return std::nullopt;
  }
  return "codex://threads/" + std::string(threadID);
}

}  // namespace CodexHookMapper
}  // namespace quoya
