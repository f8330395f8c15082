#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/AgentReply.hpp"

// The fixed rules of the reply channel: how long a hook waits for the user, which hooks may wait,
// and which providers can carry a decision back to the agent. What each agent can do comes from
// its row of the agent catalogue (Models' AgentCatalogue.hpp).
namespace tarvel::AgentReplyPolicy {

// Seconds a prompt is held for the user's answer unless the service is told otherwise
// (hold_seconds), and the longest hold it may be told. A hook asks for the longest; the service
// grants its hold and lets the hook go when it ends.
inline constexpr int waitSeconds = 120;
inline constexpr int longestHoldSeconds = 600;

// Whether a hook of this event (any provider's spelling) and tool may wait for the user: every
// permission request and elicitation, and a pre-tool hook of a tool that some agent's row lists
// as interactive (AskUserQuestion, ExitPlanMode).
bool waitsForAnswer(std::string_view eventName, const std::optional<std::string>& toolName);

// True for the providers whose hooks can return the user's decision: their row names decision
// events.
bool canDecide(const AgentProvider& provider);

// Whether the hook of this payload can hold `provider`'s agent for the user and carry the answer
// back: a decision event of its row, or a pre-tool hook of one of its interactive tools.
bool carriesDecision(const AgentProvider& provider, const AgentHookPayload& payload);

// The one answer to "does this hook hold the agent for the user?": the provider's hook can carry
// a decision for this event and tool, and the agent really asks the user (`requiresUserInput`,
// false when the agent's own settings already decided, as Codex's approval context tells).
bool holdsAgent(const AgentProvider& provider, const AgentHookPayload& payload,
                bool requiresUserInput);

// Whether anybody waits for this prompt: it offers at least one grant.
bool shouldAwaitReply(const AgentPendingReply& reply);

}  // namespace tarvel::AgentReplyPolicy
