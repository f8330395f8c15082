#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"

#include "TarvelCore/Hooks/Antigravity/AntigravityEventPolicy.hpp"
#include "TarvelCore/Hooks/Codex/CodexApprovalContextResolver.hpp"
#include "TarvelCore/Hooks/Codex/CodexSessionTitleResolver.hpp"
#include "TarvelCore/Hooks/Grok/GrokEventPolicy.hpp"
#include "TarvelCore/Hooks/Grok/GrokSessionContextResolver.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/HomeDirectory.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::ProviderHookEnricher {

ProviderHookEnrichment enrich(const AgentHookPayload& payload, const AgentProvider& provider,
                              Date now, const std::filesystem::path& home) {
  if (provider == AgentProvider::grok) {
    return Grok::enrich(payload, now, home);
  }
  if (provider == AgentProvider::codex) {
    return Codex::enrich(payload, home);
  }
  if (provider == AgentProvider::antigravity) {
    return AntigravityEventPolicy::enrich(payload);
  }
  return ProviderHookEnrichment{.payload = payload};
}

ProviderHookEnrichment enrich(const AgentHookPayload& payload, const AgentProvider& provider,
                              Date now) {
  return enrich(payload, provider, now, HomeDirectory::current());
}

namespace Codex {

ProviderHookEnrichment enrich(const AgentHookPayload& payload, const std::filesystem::path& home) {
  const std::filesystem::path codexHome = home / ".codex";
  const bool subagent = nonEmpty(payload.agentId) || nonEmpty(payload.parentSessionId);
  const std::optional<std::string> title =
      subagent ? std::nullopt : CodexSessionTitleResolver::title(payload.sessionId, codexHome);
  return ProviderHookEnrichment{
      .payload = payload,
      .permissionRequestRequiresUserInput =
          CodexApprovalContextResolver::permissionRequestRequiresUserInput(payload, codexHome),
      .preferredTask = title,
      .titleSource = title ? std::optional<std::string>("session") : std::nullopt,
      .replaceExistingTask = title.has_value(),
  };
}

}  // namespace Codex

namespace Grok {

ProviderHookEnrichment enrich(const AgentHookPayload& payload, Date now,
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

}  // namespace Grok
void applyPreferredTask(AgentEvent& event, const ProviderHookEnrichment& enrichment) {
  if (enrichment.preferredTask && (enrichment.replaceExistingTask || !event.task)) {
    event.task = enrichment.preferredTask;
  }
  if (enrichment.titleSource) {
    if (!event.metadata) {
      event.metadata.emplace();
    }
    (*event.metadata)["titleSource"] = *enrichment.titleSource;
  }
}

}  // namespace tarvel::ProviderHookEnricher
