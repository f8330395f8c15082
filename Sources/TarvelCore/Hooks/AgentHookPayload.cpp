#include "TarvelCore/Hooks/AgentHookPayload.hpp"

#include <cmath>
#include <vector>

#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace HookDecoding {

std::optional<std::string> decodeFlexibleStringIfPresent(const JSONCoding::Fields& fields,
                                                         std::string_view key) noexcept {
  const Json* value = fields.find(key);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (value->is_string()) {
    return value->get_ref<const std::string&>();
  }
  if (value->is_object()) {
    for (const std::string_view member : {std::string_view("message"), std::string_view("error")}) {
      const auto it = value->find(member);
      if (it != value->end() && it->is_string()) {
        return it->get_ref<const std::string&>();
      }
    }
  }
  return std::nullopt;
}

std::optional<Date> flexibleDate(const Json& value) noexcept {
  if (value.is_string()) {
    // Fraction or none, "Z" or an offset with or without a colon.
    if (auto date = Dates::parseISO8601(value.get_ref<const std::string&>())) {
      return date;
    }
    return std::nullopt;
  }
  if (!value.is_number()) {
    return std::nullopt;
  }
  double seconds = value.get<double>();
  constexpr double millisecondsThreshold = 10'000'000'000.0;
  if (seconds > millisecondsThreshold) {
    seconds /= 1000;
  }
  // A number far outside the writable years would give an event the wire cannot carry.
  if (!std::isfinite(seconds)) {
    return std::nullopt;
  }
  const Date date = Dates::fromSecondsSince1970(seconds);
  if (!Dates::isWritable(date)) {
    return std::nullopt;
  }
  return date;
}

std::optional<Date> decodeFlexibleDateIfPresent(
    const JSONCoding::Fields& fields, std::initializer_list<std::string_view> keys) noexcept {
  for (const std::string_view key : keys) {
    if (const Json* value = fields.find(key)) {
      if (auto date = flexibleDate(*value)) {
        return date;
      }
    }
  }
  return std::nullopt;
}

}  // namespace HookDecoding

namespace {

using HookDecoding::decodeEitherIfPresent;

std::optional<std::string> firstUsable(const std::optional<std::vector<std::string>>& paths) {
  if (!paths) {
    return std::nullopt;
  }
  for (const std::string& path : *paths) {
    if (auto usable = nonEmpty(path)) {
      return usable;
    }
  }
  return std::nullopt;
}

// The tool input at `key`: moved out of the document when it may be consumed, else copied.
std::optional<JSONValue> readToolInput(const JSONCoding::Fields& fields, Json* movable,
                                       std::string_view key) {
  const Json* found = fields.find(key);
  if (found == nullptr) {
    return std::nullopt;
  }
  if (movable != nullptr) {
    Json& member = *movable->find(key);
    auto converted = JSONValue::fromJSON(std::move(member));
    if (!converted) {
      JSONCoding::fail(DecodingError::Kind::dataCorrupted, JSONCoding::member("", key),
                       "Unsupported JSON value");
    }
    return std::move(converted).value();
  }
  return fields.optional<JSONValue>(key);
}

// The keyed decoding of one payload, in a fixed read order: every strict read happens, so a
// wrongly typed strict key fails the payload even when another key already gave the field.
// `movable` is the same object as `object` when its tool input may be moved out, else nullptr.
AgentHookPayload decodePayload(const Json& object, Json* movable, const std::string& path) {
  const JSONCoding::Fields fields(object, path);
  AgentHookPayload payload;

  if (auto id = decodeEitherIfPresent<std::string>(fields, "sessionId", "session_id")) {
    payload.sessionId = std::move(*id);
  } else if (auto camel = fields.optional<std::string>("conversationId")) {
    payload.sessionId = std::move(*camel);
  } else {
    payload.sessionId = fields.required<std::string>("conversation_id");
  }

  payload.transcriptPath =
      decodeEitherIfPresent<std::string>(fields, "transcriptPath", "transcript_path");
  payload.workspaceRoot =
      decodeEitherIfPresent<std::string>(fields, "workspaceRoot", "workspace_root");
  const auto workspaceRoots = fields.optional<std::vector<std::string>>("workspace_roots");
  const auto workspacePaths = fields.optional<std::vector<std::string>>("workspacePaths");

  const auto cwd = fields.optional<std::string>("cwd");
  if (auto usable = nonEmpty(cwd)) {
    payload.cwd = std::move(*usable);
  } else if (auto root = nonEmpty(payload.workspaceRoot)) {
    payload.cwd = std::move(*root);
  } else if (auto first = firstUsable(workspaceRoots)) {
    payload.cwd = std::move(*first);
  } else if (auto path = firstUsable(workspacePaths)) {
    payload.cwd = std::move(*path);
  }

  payload.hookEventName =
      decodeEitherIfPresent<std::string>(fields, "hookEventName", "hook_event_name").value_or("");
  payload.turnId = decodeEitherIfPresent<std::string>(fields, "turnId", "turn_id");
  payload.promptId = fields.optional<std::string>("promptId");
  payload.permissionMode =
      decodeEitherIfPresent<std::string>(fields, "permissionMode", "permission_mode");
  payload.approvalsReviewer =
      decodeEitherIfPresent<std::string>(fields, "approvalsReviewer", "approvals_reviewer");
  payload.prompt = fields.optional<std::string>("prompt");
  payload.source = fields.optional<std::string>("source");

  payload.reason = fields.optional<std::string>("reason");
  if (!payload.reason) {
    payload.reason = fields.optional<std::string>("status");
  }
  if (!payload.reason) {
    payload.reason = fields.optional<std::string>("terminationReason");
  }

  payload.toolName = decodeEitherIfPresent<std::string>(fields, "toolName", "tool_name");

  // All four spellings are read (each strictly), so a wrong type at any of them fails.
  std::optional<std::string> toolCallIds[] = {
      nonEmpty(fields.optional<std::string>("toolUseId")),
      nonEmpty(fields.optional<std::string>("toolCallId")),
      nonEmpty(fields.optional<std::string>("tool_use_id")),
      nonEmpty(fields.optional<std::string>("tool_call_id")),
  };
  for (auto& id : toolCallIds) {
    if (id) {
      payload.toolCallId = std::move(id);
      break;
    }
  }

  // A JSONValue decodes from every value a parsed document holds, so the first spelling's
  // tolerance only matters for null, which counts as absent.
  payload.toolInput = readToolInput(fields, movable, "toolInput");
  if (!payload.toolInput) {
    payload.toolInput = readToolInput(fields, movable, "tool_input");
  }
  if (!payload.toolInput) {
    payload.toolInput = readToolInput(fields, movable, "toolArgs");
  }

  payload.permissionSuggestions = readToolInput(fields, movable, "permission_suggestions");

  if (const Json* toolCall = fields.find("toolCall")) {
    const JSONCoding::Fields nested(*toolCall, JSONCoding::member(path, "toolCall"));
    auto name = nested.optional<std::string>("name");
    auto args = nested.optional<JSONValue>("args");
    // Flat keys win over the nested object.
    if (!payload.toolName) {
      payload.toolName = std::move(name);
    }
    if (!payload.toolInput) {
      payload.toolInput = std::move(args);
    }
  }

  payload.invocationNum = fields.optional<std::int64_t>("invocationNum");

  payload.agentId = decodeEitherIfPresent<std::string>(fields, "agentId", "agent_id");
  if (!payload.agentId) {
    payload.agentId = fields.optional<std::string>("subagent_id");
  }
  payload.agentType = decodeEitherIfPresent<std::string>(fields, "agentType", "agent_type");
  if (!payload.agentType) {
    payload.agentType = decodeEitherIfPresent<std::string>(fields, "subagentType", "subagent_type");
  }
  payload.parentSessionId =
      decodeEitherIfPresent<std::string>(fields, "parentSessionId", "parent_session_id");
  if (!payload.parentSessionId) {
    payload.parentSessionId = fields.optional<std::string>("parent_conversation_id");
  }
  if (!payload.parentSessionId) {
    payload.parentSessionId = fields.optional<std::string>("parentAgentId");
  }
  payload.description = fields.optional<std::string>("description");

  payload.lastAssistantMessage =
      decodeEitherIfPresent<std::string>(fields, "lastAssistantMessage", "last_assistant_message");
  payload.notificationType =
      decodeEitherIfPresent<std::string>(fields, "notificationType", "notification_type");
  payload.notificationMessage = fields.optional<std::string>("message");
  auto promptResponse =
      decodeEitherIfPresent<std::string>(fields, "promptResponse", "prompt_response");
  if (!payload.lastAssistantMessage) {
    payload.lastAssistantMessage = std::move(promptResponse);
  }

  payload.error = HookDecoding::decodeFlexibleStringIfPresent(fields, "error");
  if (!payload.error) {
    payload.error = HookDecoding::decodeFlexibleStringIfPresent(fields, "error_message");
  }
  payload.timestamp =
      HookDecoding::decodeFlexibleDateIfPresent(fields, {"timestamp", "createdAt", "created_at"});
  return payload;
}

}  // namespace

AgentHookPayload Codable<AgentHookPayload>::decode(const Json& value, const std::string& path) {
  return decodePayload(value, nullptr, path);
}

std::string_view description(AgentHookInputError error) {
  switch (error) {
    case AgentHookInputError::inputTooLarge:
      break;
  }
  return "Hook input exceeds the 1 MiB safety limit.";
}

std::string AgentHookDecodeFailure::description() const {
  if (const AgentHookInputError* refusal = inputError()) {
    return std::string(tarvel::description(*refusal));
  }
  const DecodingError& error = *decodingError();
  if (error.codingPath.empty()) {
    return error.description;
  }
  return error.description + " (at " + error.codingPath + ")";
}

namespace AgentHookInput {

Result<AgentHookPayload, DecodingError> decodeJSON(Json&& object) {
  try {
    return decodePayload(object, &object, "");
  } catch (const DecodingError& error) {
    return error;
  } catch (...) {
    // Only allocation failure can get here; report it as a failed document, never escape.
    return DecodingError{DecodingError::Kind::dataCorrupted, "", "The document could not be read."};
  }
}

Result<AgentHookPayload, AgentHookDecodeFailure> decode(std::string_view bytes) {
  if (bytes.size() > maximumBytes) {
    return AgentHookDecodeFailure{AgentHookInputError::inputTooLarge};
  }
  auto parsed = Coding::parse(bytes);
  if (!parsed) {
    return AgentHookDecodeFailure{parsed.error()};
  }
  auto payload = decodeJSON(std::move(parsed).value());
  if (!payload) {
    return AgentHookDecodeFailure{payload.error()};
  }
  return std::move(payload).value();
}

}  // namespace AgentHookInput
}  // namespace tarvel

std::size_t std::hash<tarvel::AgentHookPayload>::operator()(
    const tarvel::AgentHookPayload& payload) const {
  std::size_t seed = 0;
  const auto text = [&seed](const std::string& value) {
    tarvel::hashCombine(seed, std::hash<std::string>{}(value));
  };
  const auto optionalText = [&seed](const std::optional<std::string>& value) {
    tarvel::hashCombine(seed, value ? std::hash<std::string>{}(*value) + 1 : 0);
  };
  text(payload.sessionId);
  optionalText(payload.transcriptPath);
  text(payload.cwd);
  optionalText(payload.workspaceRoot);
  text(payload.hookEventName);
  optionalText(payload.turnId);
  optionalText(payload.promptId);
  optionalText(payload.approvalsReviewer);
  optionalText(payload.permissionMode);
  optionalText(payload.prompt);
  optionalText(payload.source);
  optionalText(payload.reason);
  optionalText(payload.toolName);
  optionalText(payload.toolCallId);
  tarvel::hashCombine(seed, payload.toolInput ? payload.toolInput->hashValue() + 1 : 0);
  tarvel::hashCombine(
      seed, payload.permissionSuggestions ? payload.permissionSuggestions->hashValue() + 1 : 0);
  optionalText(payload.agentId);
  optionalText(payload.agentType);
  optionalText(payload.parentSessionId);
  optionalText(payload.description);
  optionalText(payload.lastAssistantMessage);
  optionalText(payload.notificationType);
  optionalText(payload.notificationMessage);
  optionalText(payload.error);
  tarvel::hashCombine(
      seed, payload.timestamp
                ? std::hash<std::int64_t>{}(payload.timestamp->time_since_epoch().count()) + 1
                : 0);
  tarvel::hashCombine(
      seed, payload.invocationNum ? std::hash<std::int64_t>{}(*payload.invocationNum) + 1 : 0);
  return seed;
}
