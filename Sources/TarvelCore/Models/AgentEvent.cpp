#include "TarvelCore/Models/AgentEvent.hpp"

namespace tarvel {

using JSONCoding::Fields;
using JSONCoding::ObjectBuilder;

AgentState defaultState(AgentEventType type) {
  switch (type) {
    case AgentEventType::started:
      return AgentState::starting;
    case AgentEventType::activity:
      return AgentState::running;
    case AgentEventType::toolStarted:
      return AgentState::executingTool;
    case AgentEventType::toolCompleted:
      return AgentState::running;
    case AgentEventType::fileChanged:
      return AgentState::editing;
    case AgentEventType::waiting:
      return AgentState::waitingForUser;
    case AgentEventType::completed:
      return AgentState::completed;
    case AgentEventType::failed:
      return AgentState::failed;
  }
  return AgentState::running;
}

std::string_view displayName(AgentState state) {
  switch (state) {
    case AgentState::idle:
      return "Idle";
    case AgentState::starting:
      return "Starting";
    case AgentState::thinking:
      return "Thinking";
    case AgentState::running:
      return "Running";
    case AgentState::executingTool:
      return "Using tool";
    case AgentState::editing:
      return "Editing";
    case AgentState::waitingForUser:
      return "Needs attention";
    case AgentState::unknown:
      return "Reconnecting";
    case AgentState::completed:
      return "Completed";
    case AgentState::failed:
      return "Failed";
  }
  return "";
}

bool isActive(AgentState state) {
  return state != AgentState::idle && state != AgentState::completed &&
         state != AgentState::failed;
}

bool needsAttention(AgentState state) {
  return state == AgentState::waitingForUser || state == AgentState::failed;
}

bool isWorking(AgentState state) {
  switch (state) {
    case AgentState::starting:
    case AgentState::thinking:
    case AgentState::running:
    case AgentState::executingTool:
    case AgentState::editing:
      return true;
    case AgentState::idle:
    case AgentState::waitingForUser:
    case AgentState::completed:
    case AgentState::failed:
    case AgentState::unknown:
      return false;
  }
  return false;
}

AgentState AgentEvent::resolvedState() const { return state ? *state : defaultState(type); }

bool isValidURLString(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    return false;
  }
  const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!isAlpha(text[0])) {
    return false;
  }
  for (std::size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' ||
        c == '^' || c == '`' || c == '{' || c == '|' || c == '}') {
      return false;
    }
  }
  return true;
}

Json Codable<AgentEvent>::encode(const AgentEvent& event) {
  return ObjectBuilder()
      .set("protocolVersion", event.protocolVersion)
      .set("id", event.id)
      .set("type", event.type)
      .set("sessionId", event.sessionId)
      .set("provider", event.provider)
      .set("task", event.task)
      .set("activity", event.activity)
      .set("state", event.state)
      .set("timestamp", event.timestamp)
      .set("workingDirectory", event.workingDirectory)
      .set("file", event.file)
      .set("applicationURL", event.applicationURL)
      .set("origin", event.origin)
      .set("metadata", event.metadata)
      .set("parentSessionId", event.parentSessionId)
      .set("agentRole", event.agentRole)
      .set("plan", event.plan)
      .set("workflowUpdate", event.workflowUpdate)
      .set("pendingReply", event.pendingReply)
      .build();
}

AgentEvent Codable<AgentEvent>::decode(const Json& value, const std::string& path) {
  const Fields fields(value, path);
  AgentEvent event{
      .protocolVersion = fields.required<std::int64_t>("protocolVersion"),
      .id = fields.required<UUID>("id"),
      .type = fields.required<AgentEventType>("type"),
      .sessionId = fields.required<std::string>("sessionId"),
      .provider = fields.required<AgentProvider>("provider"),
      .task = fields.optional<std::string>("task"),
      .activity = fields.optional<std::string>("activity"),
      .state = fields.optional<AgentState>("state"),
      .timestamp = fields.required<Date>("timestamp"),
      .workingDirectory = fields.optional<std::string>("workingDirectory"),
      .file = fields.optional<std::string>("file"),
      .applicationURL = fields.optional<std::string>("applicationURL"),
      .origin = fields.optional<AgentOrigin>("origin"),
      .metadata = fields.optional<std::map<std::string, std::string>>("metadata"),
      .parentSessionId = fields.optional<std::string>("parentSessionId"),
      .agentRole = fields.optional<std::string>("agentRole"),
      .plan = fields.optional<AgentPlan>("plan"),
      .workflowUpdate = fields.optional<AgentWorkflowUpdate>("workflowUpdate"),
      .pendingReply = fields.optional<AgentPendingReply>("pendingReply"),
  };
  if (event.applicationURL && !isValidURLString(*event.applicationURL)) {
    JSONCoding::fail(DecodingError::Kind::dataCorrupted,
                     JSONCoding::member(path, "applicationURL"), "Invalid URL string.");
  }
  return event;
}

std::string encodeEventLine(const AgentEvent& event) {
  std::string line = encodeJSON(event);
  line.push_back('\n');
  return line;
}

}  // namespace tarvel

std::size_t std::hash<tarvel::AgentEvent>::operator()(const tarvel::AgentEvent& event) const {
  // Equal events have equal encodings, so hashing the canonical encoding is consistent with ==.
  return std::hash<std::string>{}(tarvel::encodeJSON(event));
}
