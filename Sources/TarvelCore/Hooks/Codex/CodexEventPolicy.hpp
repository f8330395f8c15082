#pragma once

#include <optional>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentPlan.hpp"
#include "TarvelCore/Platform/Date.hpp"

// Codex's plan and goal tools as plan snapshots and workflow changes. `tool` is the tool
// identifier (ProviderEventPolicy::toolIdentifier). Pure; never throws.
namespace tarvel::CodexEventPolicy {

// The plan of an "update_plan" call: one step per object of the input's "plan" array with a
// non-blank "step" (id "plan-step-" + its index in the array); absent without steps.
std::optional<AgentPlan> planSnapshot(const AgentHookPayload& payload, std::string_view tool,
                                      Date now);

// The workflow change of a "create_goal" or "update_goal" call; absent for other tools. The
// workflow id is the input's "workflow_id", else "id", else "goal:" + sessionId.
std::optional<AgentWorkflowUpdate> workflowUpdate(const AgentHookPayload& payload,
                                                  std::string_view tool,
                                                  std::string_view sessionId);

}  // namespace tarvel::CodexEventPolicy
