#pragma once

#include <optional>
#include <string>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/ProviderHookEnrichment.hpp"

// Antigravity's own words: its waiting tools, its tool names and lifecycle spellings rewritten to
// the common ones, and the answers its hooks expect when nobody waits. Pure.
namespace tarvel::AntigravityEventPolicy {

// True for the tools "ask_question" and "ask_permission".
bool isWaitingTool(const std::optional<std::string>& toolName);

// What a waiting tool asks: its question or reason, else "Needs an answer" / "Needs approval".
std::string waitingActivity(const AgentHookPayload& payload);

// The payload with Antigravity's tool names, input keys and lifecycle words rewritten (file tools
// as write_to_file / replace_file_content / view_file, "CommandLine" as "command", path keys as
// "file_path", exceeded step limits as StopCancelled, failed tools as PostToolUseFailure, a
// first prompt as SessionStart); a permission request always needs the user.
ProviderHookEnrichment enrich(const AgentHookPayload& payload);

// The hook's answer when it does not wait: {"decision":"stop"} and a line feed for a stop event,
// else "{}" and a line feed.
std::string passiveResponse(const std::optional<std::string>& eventName);

}  // namespace tarvel::AntigravityEventPolicy
