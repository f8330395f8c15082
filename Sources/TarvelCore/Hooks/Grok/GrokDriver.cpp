#include "TarvelCore/Hooks/AgentDrivers.hpp"
#include "TarvelCore/Hooks/Grok/GrokEventPolicy.hpp"
#include "TarvelCore/Hooks/Grok/GrokSessionContextResolver.hpp"
#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {

// Grok's sub-agent hooks carry no parent link and its workflow runs live in its own files: both
// are read from ~/.grok, with the session's title.
ProviderHookEnrichment ProviderHookEnricher::Grok::enrich(const AgentHookPayload& payload, Date now,
                                                          const std::filesystem::path& home) {
  ProviderHookEnrichment enrichment{.payload = payload};
  if (!GrokEventPolicy::shouldResolveSessionContext(payload)) {
    return enrichment;
  }
  const GrokSessionContext context = GrokSessionContextResolver::resolve(payload, home / ".grok");
  if (context.parentSessionId) {
    enrichment.payload.parentSessionId = context.parentSessionId;
  }
  if (context.agentRole) {
    enrichment.payload.description = context.agentRole;
  }
  enrichment.preferredTask = context.sessionTitle;

  if (GrokEventPolicy::shouldPublishWorkflowState(payload)) {
    const std::optional<std::string> workingDirectory =
        nonEmpty(payload.workspaceRoot) ? payload.workspaceRoot : nonEmpty(payload.cwd);
    enrichment.workflowEvent = context.workflowEvent(now, workingDirectory);
  }
  // A turn that ends closes its workflow: the run's file may still say running.
  const auto event = HookEventNames::fromRawEventName(payload.hookEventName);
  if (enrichment.workflowEvent && event && isTerminal(*event) &&
      isActive(enrichment.workflowEvent->resolvedState())) {
    enrichment.workflowEvent->type = AgentEventType::completed;
    enrichment.workflowEvent->state = AgentState::completed;
  }
  return enrichment;
}

// Grok wraps the prompt it sends in <user_query> tags, and reports sub-agents' turns also
// without naming the sub-agent.
constinit const AgentDriver AgentDrivers::grok{
    .id = "grok",
    .enrich = ProviderHookEnricher::Grok::enrich,
    .visiblePrompt = GrokEventPolicy::visiblePrompt,
    .unnamedSubagents = true,
};

}  // namespace tarvel
