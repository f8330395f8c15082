#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/AgentPlan.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/JSONValue.hpp"

// The rules shared by every provider: how tool names are reduced and shown, how a tool call
// becomes a tool event, and how turn ends, failures and notifications read. Pure functions that
// never throw (beyond allocation failure). "Characters" are user-perceived characters; agents'
// words are compared normalised ("-" as "_", then lower case).
namespace tarvel::ProviderEventPolicy {

// What a tool call shows: the event kind and state, the one-line text, the file it touches, the
// tool name as received ("tool" when absent), and the plan or workflow change it carries.
struct ToolPresentation {
  AgentEventType type = AgentEventType::toolStarted;
  AgentState state = AgentState::executingTool;
  std::string activity;
  std::optional<std::string> file;
  std::string rawTool;
  std::optional<AgentPlan> plan;
  std::optional<AgentWorkflowUpdate> workflowUpdate;
  bool operator==(const ToolPresentation&) const = default;
};

// How a cancelled stop reads.
struct StopOutcome {
  AgentEventType type = AgentEventType::completed;
  AgentState state = AgentState::completed;
  std::string activity;
  bool operator==(const StopOutcome&) const = default;
};

// The first non-empty line of `text`, trimmed; longer than `limit` characters, its first
// limit - 1 characters and "…", so exactly `limit` characters. Lines end at LF, VT, FF, CR, NEL,
// U+2028 and U+2029.
std::string concise(std::string_view text, std::size_t limit);

// The last non-empty "__" piece of the name, lower-cased ("mcp__files__Read_File" gives
// "read_file"); the whole name lower-cased when it has no piece.
std::string toolIdentifier(std::string_view name);

// The tool as the user reads it: "Bash" is "command", an "mcp__" tool its last piece as written,
// any other name lower-cased with "_" as spaces.
std::string displayTool(std::string_view name);

// The tool event for the payload's tool call, before (`completed` false) or after it ran.
ToolPresentation toolPresentation(const AgentHookPayload& payload, bool completed,
                                  std::string_view sessionId, Date now);

// The text of a failed turn: a known failure class as its sentence ("rate_limit" reads "Usage
// limit reached"), else the assistant's last message or the error, else "Turn failed".
std::string stopFailureActivity(const AgentHookPayload& payload);

// A cancelled turn: "Turn limit reached" and "Stopped: no progress" are failures; anything else,
// or no reason, is a completed "Stopped".
StopOutcome stopCancelledOutcome(const AgentHookPayload& payload);

// Whether a notification of this type says the turn is over ("task_complete"; also "idle_prompt"
// for an agent whose row says it repeats turn ends, as Grok does).
bool isTurnSettledNotification(const std::optional<std::string>& type,
                               const AgentProvider& provider);

// The text for such a notification: its message, else "Task completed" or "Turn ended".
std::string settledNotificationActivity(const AgentHookPayload& payload);

// Whether a session start is worth an event: never for an agent whose row says its starts open no
// session (Grok), and not when a session merely resumes or compacts.
bool shouldMapSessionStart(const AgentProvider& provider, const std::optional<std::string>& source);

// Concise text of the first non-blank "question" among the objects of the input's "questions"
// array; "Needs an answer" when there is none.
std::string questionActivity(const AgentHookPayload& payload);

// The member `key` of the payload's tool input, or nullptr when the input is no object or lacks
// it. Borrows from the payload.
const JSONValue* inputMember(const AgentHookPayload& payload, std::string_view key);

// The member `key` of the tool input when it is a string, else nullptr. Borrows from the payload.
const std::string* stringInputMember(const AgentHookPayload& payload, std::string_view key);

}  // namespace tarvel::ProviderEventPolicy
