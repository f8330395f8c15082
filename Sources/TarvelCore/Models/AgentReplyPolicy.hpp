#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/AgentReply.hpp"

// The fixed rules of the reply channel: how long a hook waits for the user, which hooks may wait,
// and which providers can carry a decision back to the agent.
namespace tarvel::AgentReplyPolicy {

// Seconds a hook waits for the user's answer.
inline constexpr int waitSeconds = 120;

// Claude Code hook-configuration tool matchers: the two tools whose hook waits for an answer,
// and every other tool.
inline constexpr std::string_view claudeInteractiveToolMatcher = "AskUserQuestion|ExitPlanMode";
inline constexpr std::string_view claudePassiveToolMatcher = "^(?!AskUserQuestion$|ExitPlanMode$).*";

// Whether a hook of this event (any provider's spelling) and tool may wait for the user: every
// permission request and elicitation, and a pre-tool hook of AskUserQuestion or ExitPlanMode.
bool waitsForAnswer(std::string_view eventName, const std::optional<std::string>& toolName);

// True only for Codex and Claude Code, whose hooks can return the user's decision.
bool canDecide(const AgentProvider& provider);

// Whether anybody waits for this prompt: it offers at least one grant.
bool shouldAwaitReply(const AgentPendingReply& reply);

}  // namespace tarvel::AgentReplyPolicy
