#pragma once

#include <optional>
#include <string>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"

// Claude Code's prompts: the tools that ask the user, the sentences for approvals, and the
// notifications that mean the agent waits. Tools are compared by tool identifier. Pure.
namespace tarvel::ClaudeEventPolicy {

// True for AskUserQuestion and ExitPlanMode (any letter case, any "__" prefix).
bool isInteractiveTool(const std::optional<std::string>& toolName);

// What an interactive tool asks: the question itself, "Needs plan approval", or a fallback.
std::string interactiveToolActivity(const AgentHookPayload& payload);

// The sentence for a permission request of the payload's tool ("Needs command approval", ...).
std::string approvalActivity(const AgentHookPayload& payload);

// Whether a notification of this type means that the agent waits for the user.
bool isWaitingNotification(const std::optional<std::string>& type);

// The text of a waiting notification: its message, else "Needs approval" or "Waiting for input".
std::string waitingNotificationActivity(const std::optional<std::string>& type,
                                        const std::optional<std::string>& message);

}  // namespace tarvel::ClaudeEventPolicy
