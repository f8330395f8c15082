#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"

#include "TarvelCore/Hooks/AgentDrivers.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/HomeDirectory.hpp"

// The agents' own enrichments are their drivers' (Codex/CodexDriver.cpp, Grok/GrokDriver.cpp,
// Antigravity/AntigravityDriver.cpp).
namespace tarvel::ProviderHookEnricher {

ProviderHookEnrichment enrich(const AgentHookPayload& payload, const AgentProvider& provider,
                              Date now, const std::filesystem::path& home) {
  const AgentDriver* driver = AgentDrivers::of(provider);
  if (driver != nullptr && driver->enrich != nullptr) {
    return driver->enrich(payload, now, home);
  }
  return ProviderHookEnrichment{.payload = payload};
}

ProviderHookEnrichment enrich(const AgentHookPayload& payload, const AgentProvider& provider,
                              Date now) {
  return enrich(payload, provider, now, HomeDirectory::current());
}

bool agentWouldAsk(const AgentHookPayload& payload, const AgentProvider& provider,
                   const std::filesystem::path& home, std::span<const std::string> agentArguments) {
  const AgentDriver* driver = AgentDrivers::of(provider);
  if (driver == nullptr || driver->wouldAsk == nullptr ||
      HookEventNames::fromRawEventName(payload.hookEventName) != HookEventName::permissionRequest) {
    return true;
  }
  return driver->wouldAsk(payload, home, agentArguments);
}

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
