#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"

#include <algorithm>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/HookEventName.hpp"

namespace tarvel::AgentReplyPolicy {

bool waitsForAnswer(std::string_view eventName, const std::optional<std::string>& toolName) {
  const auto event = HookEventNames::fromRawEventName(eventName);
  if (event == HookEventName::permissionRequest || event == HookEventName::elicitation) {
    return true;
  }
  return event == HookEventName::preToolUse &&
         AgentCatalogue::interactiveToolOfAnyAgent(toolName).has_value();
}

bool canDecide(const AgentProvider& provider) {
  const AgentRow* row = AgentCatalogue::of(provider);
  return row != nullptr && !row->decisionEvents.empty();
}

bool carriesDecision(const AgentProvider& provider, const AgentHookPayload& payload) {
  const AgentRow* row = AgentCatalogue::of(provider);
  const auto event = HookEventNames::fromRawEventName(payload.hookEventName);
  if (row == nullptr || !event ||
      std::find(row->decisionEvents.begin(), row->decisionEvents.end(), *event) ==
          row->decisionEvents.end()) {
    return false;
  }
  // A pre-tool hook decides only for the tools that ask the user, or for an agent whose pre-tool
  // hook answers its permission prompts.
  return *event != HookEventName::preToolUse || row->answersAtPreToolUse ||
         AgentCatalogue::interactiveTool(provider, payload.toolName).has_value();
}

bool holdsAgent(const AgentProvider& provider, const AgentHookPayload& payload,
                bool requiresUserInput) {
  return requiresUserInput && carriesDecision(provider, payload);
}

bool shouldAwaitReply(const AgentPendingReply& reply) { return !reply.grants.empty(); }

}  // namespace tarvel::AgentReplyPolicy
