#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "TarvelCore/Models/AgentOrigin.hpp"
#include "TarvelCore/Models/AgentPlan.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/UUID.hpp"

namespace tarvel {

enum class AgentEventType {
  started,
  activity,
  toolStarted,
  toolCompleted,
  fileChanged,
  waiting,
  completed,
  failed,
};

enum class AgentState {
  idle,
  starting,
  thinking,
  running,
  executingTool,
  editing,
  waitingForUser,
  unknown,
  completed,
  failed,
};

template <>
struct EnumNames<AgentEventType> {
  static constexpr std::array<std::pair<AgentEventType, std::string_view>, 8> table{{
      {AgentEventType::started, "agent.started"},
      {AgentEventType::activity, "agent.activity"},
      {AgentEventType::toolStarted, "agent.tool.started"},
      {AgentEventType::toolCompleted, "agent.tool.completed"},
      {AgentEventType::fileChanged, "agent.file.changed"},
      {AgentEventType::waiting, "agent.waiting"},
      {AgentEventType::completed, "agent.completed"},
      {AgentEventType::failed, "agent.failed"},
  }};
};

template <>
struct EnumNames<AgentState> {
  static constexpr std::array<std::pair<AgentState, std::string_view>, 10> table{{
      {AgentState::idle, "idle"},
      {AgentState::starting, "starting"},
      {AgentState::thinking, "thinking"},
      {AgentState::running, "running"},
      {AgentState::executingTool, "executingTool"},
      {AgentState::editing, "editing"},
      {AgentState::waitingForUser, "waitingForUser"},
      {AgentState::unknown, "unknown"},
      {AgentState::completed, "completed"},
      {AgentState::failed, "failed"},
  }};
};

// The state an event of this type implies when it carries none.
AgentState defaultState(AgentEventType type);

// "Idle", "Starting", ..., "Needs attention", "Reconnecting", ...
std::string_view displayName(AgentState state);
// True for starting through unknown.
bool isActive(AgentState state);
// True for waitingForUser and failed.
bool needsAttention(AgentState state);

// Whether the agent is busy on its own: starting, thinking, running, executing a tool or editing.
bool isWorking(AgentState state);

inline constexpr std::int64_t currentProtocolVersion = 1;

// The one normalised activity record: every hook invocation ends as at most one of these.
// Plain value; copy freely between threads.
struct AgentEvent {
  std::int64_t protocolVersion = currentProtocolVersion;
  UUID id = UUID::random();
  AgentEventType type = AgentEventType::activity;
  std::string sessionId;
  AgentProvider provider;
  std::optional<std::string> task;
  std::optional<std::string> activity;
  std::optional<AgentState> state;
  Date timestamp{};
  std::optional<std::string> workingDirectory;
  std::optional<std::string> file;
  std::optional<std::string> applicationURL;  // an absolute URL
  std::optional<AgentOrigin> origin;
  std::optional<std::map<std::string, std::string>> metadata;
  std::optional<std::string> parentSessionId;
  std::optional<std::string> agentRole;
  std::optional<AgentPlan> plan;
  std::optional<AgentWorkflowUpdate> workflowUpdate;
  std::optional<AgentPendingReply> pendingReply;

  // `state` when present, else the state `type` implies.
  AgentState resolvedState() const;

  bool operator==(const AgentEvent&) const = default;
};

template <>
struct Codable<AgentEvent> {
  static Json encode(const AgentEvent& event);
  static AgentEvent decode(const Json& value, const std::string& path);
};

// Whether the text is a URL string the wire accepts (a scheme, then no blanks or control bytes).
bool isValidURLString(std::string_view text);

// The event's shared-encoder text, written without building its tree (the same bytes).
template <>
std::string encodeJSON<AgentEvent>(const AgentEvent& event);

// The event line: the shared encoder's text followed by one line feed.
std::string encodeEventLine(const AgentEvent& event);

// Decodes one event line (with or without its line feed) without building the document's tree;
// accepts and refuses exactly what decodeJSONText<AgentEvent> does, with its errors.
Result<AgentEvent, DecodingError> decodeEventLine(std::string_view line);

}  // namespace tarvel

template <>
struct std::hash<tarvel::AgentEvent> {
  std::size_t operator()(const tarvel::AgentEvent& event) const;
};
