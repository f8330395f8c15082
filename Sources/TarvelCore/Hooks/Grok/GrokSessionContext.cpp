#include "TarvelCore/Hooks/Grok/GrokSessionContext.hpp"

#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/JSONValue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"
#include "TarvelCore/Platform/UUID.hpp"

namespace tarvel {

std::optional<AgentEvent> GrokSessionContext::workflowEvent(
    Date now, const std::optional<std::string>& workingDirectory) const {
  if (!workflowOwnerSessionId || !workflowState || !workflowUpdate) {
    return std::nullopt;
  }
  AgentEvent event;
  event.type = AgentEventType::activity;
  event.sessionId = AgentProvider::grok.rawValue + ":" + *workflowOwnerSessionId;
  event.provider = AgentProvider::grok;
  event.task = workflowTask;
  // A blank phase title reads as no phase rather than as "Workflow · ".
  const AgentWorkflowStatus status = workflowUpdate->status.value_or(AgentWorkflowStatus::running);
  event.activity = nonEmpty(workflowPhase) ? "Workflow \u00B7 " + *workflowPhase
                                           : "Workflow " + std::string(displayName(status));
  event.state = workflowState;
  event.timestamp = now;
  event.workingDirectory = workingDirectory;
  event.metadata =
      std::map<std::string, std::string>{{"hookEvent", std::string(HookEventNames::workflowState)}};
  event.workflowUpdate = workflowUpdate;
  return event;
}

}  // namespace tarvel

std::size_t std::hash<tarvel::GrokSessionContext>::operator()(
    const tarvel::GrokSessionContext& context) const {
  const auto text = [](const std::optional<std::string>& value) {
    return value ? std::hash<std::string>{}(*value) + 1 : 0;
  };
  std::size_t seed = text(context.parentSessionId);
  tarvel::hashCombine(seed, text(context.agentRole));
  tarvel::hashCombine(seed, text(context.workflowOwnerSessionId));
  tarvel::hashCombine(seed, text(context.workflowTask));
  tarvel::hashCombine(seed, text(context.workflowPhase));
  tarvel::hashCombine(
      seed, context.workflowState ? static_cast<std::size_t>(*context.workflowState) + 1 : 0);
  tarvel::hashCombine(
      seed, context.workflowUpdate
                ? std::hash<std::string>{}(tarvel::encodeJSON(*context.workflowUpdate)) + 1
                : 0);
  tarvel::hashCombine(
      seed,
      context.workflowUpdatedAt
          ? static_cast<std::size_t>(context.workflowUpdatedAt->time_since_epoch().count()) + 1
          : 0);
  tarvel::hashCombine(seed, text(context.sessionTitle));
  return seed;
}
