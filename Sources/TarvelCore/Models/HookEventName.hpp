#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "TarvelCore/Platform/Coding.hpp"

namespace tarvel {

// The canonical hook event vocabulary. The raw value (EnumNames) is the canonical spelling, such
// as "PreToolUse"; providers' own spellings and aliases go through HookEventNames::fromRawEventName.
enum class HookEventName {
  sessionStart,
  userPromptSubmit,
  preToolUse,
  postToolUse,
  postToolUseFailure,
  permissionRequest,
  permissionDenied,
  elicitation,
  elicitationResult,
  notification,
  stop,
  stopFailure,
  stopCancelled,
  sessionEnd,
  subagentStart,
  subagentStop,
};

template <>
struct EnumNames<HookEventName> {
  static constexpr std::array<std::pair<HookEventName, std::string_view>, 16> table{{
      {HookEventName::sessionStart, "SessionStart"},
      {HookEventName::userPromptSubmit, "UserPromptSubmit"},
      {HookEventName::preToolUse, "PreToolUse"},
      {HookEventName::postToolUse, "PostToolUse"},
      {HookEventName::postToolUseFailure, "PostToolUseFailure"},
      {HookEventName::permissionRequest, "PermissionRequest"},
      {HookEventName::permissionDenied, "PermissionDenied"},
      {HookEventName::elicitation, "Elicitation"},
      {HookEventName::elicitationResult, "ElicitationResult"},
      {HookEventName::notification, "Notification"},
      {HookEventName::stop, "Stop"},
      {HookEventName::stopFailure, "StopFailure"},
      {HookEventName::stopCancelled, "StopCancelled"},
      {HookEventName::sessionEnd, "SessionEnd"},
      {HookEventName::subagentStart, "SubagentStart"},
      {HookEventName::subagentStop, "SubagentStop"},
  }};
};

// True for stop, stopFailure, stopCancelled and sessionEnd: the turn or the session is over.
bool isTerminal(HookEventName name);

// True only for userPromptSubmit: the user has started a new turn.
bool resumesSession(HookEventName name);

namespace HookEventNames {

// The metadata hook event of an event that reports the state of a workflow run, read from the
// agent's own files rather than sent by a hook. Grok's was the first such reader, and stored
// sessions carry its name, so the name stays.
inline constexpr std::string_view workflowState = "grokWorkflowState";

// The canonical spelling, such as "PreToolUse".
std::string_view rawValue(HookEventName name);

// Exact match of a canonical spelling, else absent.
std::optional<HookEventName> fromRawValue(std::string_view text);

// The comparison form of an event name: every "_" and "-" removed, then Unicode lower case.
// Spaces are kept, so " Stop" matches nothing.
std::string normalized(std::string_view name);

// Tolerant match of a provider's event name: canonical names in any letter case with any "_"
// or "-" inserted, and the other vocabularies' aliases ("BeforeTool", "AfterAgent", "interrupt",
// ...). Absent for anything else.
std::optional<HookEventName> fromRawEventName(std::string_view name);

// The event name to record in an event's metadata: a spelling of a canonical name, and any
// unrecognised name, unchanged; an alias from another vocabulary as the canonical raw value
// ("BeforeAgent" gives "UserPromptSubmit").
std::string metadataName(std::string_view name);

}  // namespace HookEventNames
}  // namespace tarvel
