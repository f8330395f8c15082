#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"

// Grok's quirks: prompts wrapped in <user_query> tags, sub-agent hooks without parent links, and
// workflow state kept in files. Pure.
namespace tarvel::GrokEventPolicy {

// The prompt as the user typed it: the text inside <user_query>...</user_query> (any letter
// case) when both tags are there, and stray opening or closing tags at line starts removed.
std::string visiblePrompt(std::string_view text);

// Whether a turn end comes from a nested agent that names its type but no id or parent.
bool shouldIgnoreNestedTurnEnd(const AgentHookPayload& payload);

// Whether a Grok hook without an agent id and without a known parent is a sub-agent to remap.
bool remapsParentScopedSubagent(const AgentProvider& provider, const AgentHookPayload& payload,
                                const std::optional<std::string>& parentSessionId);

// Whether the hook may change workflow state: turn and session ends, sub-agent starts and stops,
// and the "workflow" tool.
bool shouldPublishWorkflowState(const AgentHookPayload& payload);

// Whether the session's context files are worth reading for this hook.
bool shouldResolveSessionContext(const AgentHookPayload& payload);

// Grok's session starts never become events.
constexpr bool shouldMapSessionStart() { return false; }

}  // namespace tarvel::GrokEventPolicy
