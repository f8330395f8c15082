#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"

#include "TarvelCore/Hooks/AgentDrivers.hpp"
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
