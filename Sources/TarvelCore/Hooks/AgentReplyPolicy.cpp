#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"

#include "TarvelCore/Hooks/AgentCapabilities.hpp"
#include "TarvelCore/Models/HookEventName.hpp"

namespace tarvel::AgentReplyPolicy {

bool waitsForAnswer(std::string_view eventName, const std::optional<std::string>& toolName) {
  const auto event = HookEventNames::fromRawEventName(eventName);
  if (event == HookEventName::permissionRequest || event == HookEventName::elicitation) {
    return true;
  }
  return event == HookEventName::preToolUse &&
         AgentCapabilityTable::interactiveToolOfAnyAgent(toolName).has_value();
}

bool canDecide(const AgentProvider& provider) {
  const AgentCapabilities* row = AgentCapabilityTable::of(provider);
  return row != nullptr && !row->decisionEvents.empty();
}

bool holdsAgent(const AgentProvider& provider, const AgentHookPayload& payload,
                bool requiresUserInput) {
  return requiresUserInput && AgentCapabilityTable::carriesDecision(provider, payload);
}

bool shouldAwaitReply(const AgentPendingReply& reply) { return !reply.grants.empty(); }

}  // namespace tarvel::AgentReplyPolicy
