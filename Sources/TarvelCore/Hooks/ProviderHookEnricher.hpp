#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/ProviderHookEnrichment.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Date.hpp"

// Adds provider facts to a hook payload before it is mapped, through the agent's driver
// (AgentDriver.hpp): Codex thread titles and reviewer routing, Grok sub-agent parents, roles,
// titles and workflow events, Antigravity's words. Reads only below the user's ".codex" and
// ".grok" (bounded); never fails: what cannot be read leaves the payload as it is and the hints
// absent.
namespace tarvel::ProviderHookEnricher {

// The document `bytes` as the agent sent it, decoded; the agent's driver first rewrites a document
// of the agent's own shape (AgentDriver::document). `commandLineEvent` names the event when the
// document does not. As AgentHookInput::decode otherwise.
Result<AgentHookPayload, AgentHookDecodeFailure> decode(
    std::string_view bytes, const AgentProvider& provider,
    const std::optional<std::string>& commandLineEvent);

// The agent's driver's enrichment, if it has one; `home` is the user's home directory.
ProviderHookEnrichment enrich(const AgentHookPayload& payload, const AgentProvider& provider,
                              Date now, const std::filesystem::path& home);
// The same with the current user's home directory.
ProviderHookEnrichment enrich(const AgentHookPayload& payload, const AgentProvider& provider,
                              Date now);

// Whether the agent would ask the user itself about this permission request (its driver's
// judgement, for an agent that sends one also for what its rules allow; true for every other
// document and agent). `agentArguments` is the agent's command line, `home` the user's home.
bool agentWouldAsk(const AgentHookPayload& payload, const AgentProvider& provider,
                   const std::filesystem::path& home, std::span<const std::string> agentArguments);

// The agents' own enrichments, defined in their folders beside their drivers.
namespace Grok {
ProviderHookEnrichment enrich(const AgentHookPayload& payload, Date now,
                              const std::filesystem::path& home);
}  // namespace Grok

namespace Codex {
ProviderHookEnrichment enrich(const AgentHookPayload& payload, const std::filesystem::path& home);
}  // namespace Codex

// Gives `event` the task the enrichment prefers (only where the event has none, unless the
// enrichment replaces it) and records where its title came from.
void applyPreferredTask(AgentEvent& event, const ProviderHookEnrichment& enrichment);

}  // namespace tarvel::ProviderHookEnricher
