#include "TarvelCore/Hooks/AgentDrivers.hpp"
#include "TarvelCore/Hooks/Antigravity/AntigravityEventPolicy.hpp"

namespace tarvel {
namespace {

ProviderHookEnrichment enrichAntigravity(const AgentHookPayload& payload, Date /*now*/,
                                         const std::filesystem::path& /*home*/) {
  return AntigravityEventPolicy::enrich(payload);
}

}  // namespace

// Antigravity names its tools and lifecycle its own way, and expects its own passive answer for
// each event.
constinit const AgentDriver AgentDrivers::antigravity{
    .id = "antigravity",
    .enrich = enrichAntigravity,
    .passiveAnswer = AntigravityEventPolicy::passiveResponse,
};

}  // namespace tarvel
