#include "TarvelCore/Models/AgentReplyPolicy.hpp"

#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Models/StringHelpers.hpp"

namespace tarvel::AgentReplyPolicy {

bool waitsForAnswer(std::string_view eventName, const std::optional<std::string>& toolName) {
  const auto event = HookEventNames::fromRawEventName(eventName);
  if (event == HookEventName::permissionRequest || event == HookEventName::elicitation) {
    return true;
  }
  if (event == HookEventName::preToolUse && toolName) {
    const std::string identifier = Text::toolIdentifier(*toolName);
    return identifier == "askuserquestion" || identifier == "exitplanmode";
  }
  return false;
}

bool canDecide(const AgentProvider& provider) {
  return provider == AgentProvider::codex || provider == AgentProvider::claudeCode;
}

bool shouldAwaitReply(const AgentPendingReply& reply) { return !reply.grants.empty(); }

}  // namespace tarvel::AgentReplyPolicy
