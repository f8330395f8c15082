#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"

#include "TarvelCore/Hooks/AgentDrivers.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/HomeDirectory.hpp"

// The agents' own enrichments are their drivers' (Codex/CodexDriver.cpp, Grok/GrokDriver.cpp,
// Antigravity/AntigravityDriver.cpp).
namespace tarvel::ProviderHookEnricher {

Result<AgentHookPayload, AgentHookDecodeFailure> decode(
    std::string_view bytes, const AgentProvider& provider,
    const std::optional<std::string>& commandLineEvent) {
  const AgentDriver* driver = AgentDrivers::of(provider);
  if (driver == nullptr || driver->document == nullptr) {
    return AgentHookInput::decode(bytes);
  }
  if (bytes.size() > AgentHookInput::maximumBytes) {
    return AgentHookDecodeFailure{AgentHookInputError::inputTooLarge};
  }
  auto parsed = Coding::parse(bytes);
  if (!parsed) {
    return AgentHookDecodeFailure{parsed.error()};
  }
  try {
    auto payload =
        AgentHookInput::decodeJSON(driver->document(std::move(parsed).value(), commandLineEvent));
    if (!payload) {
      return AgentHookDecodeFailure{payload.error()};
    }
    return std::move(payload).value();
  } catch (...) {
    return AgentHookDecodeFailure{
        DecodingError{DecodingError::Kind::dataCorrupted, "", "The document could not be read."}};
  }
}

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
  const auto event = HookEventNames::fromRawEventName(payload.hookEventName);
  const AgentRow* row = AgentCatalogue::of(provider);
  const bool asks =
      event == HookEventName::permissionRequest ||
      (event == HookEventName::preToolUse && row != nullptr && row->answersAtPreToolUse);
  if (driver == nullptr || driver->wouldAsk == nullptr || !asks) {
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
