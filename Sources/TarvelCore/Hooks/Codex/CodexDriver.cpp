#include "TarvelCore/Hooks/AgentDrivers.hpp"
#include "TarvelCore/Hooks/Codex/CodexApprovalContextResolver.hpp"
#include "TarvelCore/Hooks/Codex/CodexSessionTitleResolver.hpp"
#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {

// Codex sends no thread title, and asks the user only when its own approval settings leave the
// decision open: both are read from ~/.codex.
ProviderHookEnrichment ProviderHookEnricher::Codex::enrich(const AgentHookPayload& payload,
                                                           const std::filesystem::path& home) {
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

namespace {

ProviderHookEnrichment enrichCodex(const AgentHookPayload& payload, Date /*now*/,
                                   const std::filesystem::path& home) {
  return ProviderHookEnricher::Codex::enrich(payload, home);
}

}  // namespace

constinit const AgentDriver AgentDrivers::codex{.id = "codex", .enrich = enrichCodex};

}  // namespace tarvel
