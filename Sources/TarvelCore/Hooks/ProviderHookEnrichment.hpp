#pragma once

#include <functional>
#include <optional>
#include <string>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/JSONValue.hpp"

namespace tarvel {

// A hook payload made ready for mapping: possibly rewritten with provider facts, plus hints for
// the host (a task title to show, whether a permission request needs the user, and an extra
// workflow event to publish beside the mapped one).
struct ProviderHookEnrichment {
  AgentHookPayload payload;
  bool permissionRequestRequiresUserInput = true;
  std::optional<std::string> preferredTask;
  std::optional<std::string> titleSource;  // "session" or absent
  bool replaceExistingTask = false;
  std::optional<AgentEvent> workflowEvent;

  bool operator==(const ProviderHookEnrichment&) const = default;
};

}  // namespace tarvel

template <>
struct std::hash<tarvel::ProviderHookEnrichment> {
  std::size_t operator()(const tarvel::ProviderHookEnrichment& enrichment) const {
    std::size_t seed = std::hash<tarvel::AgentHookPayload>{}(enrichment.payload);
    tarvel::hashCombine(seed, enrichment.permissionRequestRequiresUserInput ? 1 : 0);
    tarvel::hashCombine(seed, enrichment.preferredTask
                                  ? std::hash<std::string>{}(*enrichment.preferredTask) + 1
                                  : 0);
    tarvel::hashCombine(
        seed, enrichment.titleSource ? std::hash<std::string>{}(*enrichment.titleSource) + 1 : 0);
    tarvel::hashCombine(seed, enrichment.replaceExistingTask ? 1 : 0);
    tarvel::hashCombine(seed, enrichment.workflowEvent
                                  ? std::hash<tarvel::AgentEvent>{}(*enrichment.workflowEvent) + 1
                                  : 0);
    return seed;
  }
};
