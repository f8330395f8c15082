#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Hooks/ProviderHookEnrichment.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Date.hpp"

namespace tarvel {

// What only the hook knows of one agent: how its documents are read beyond the shared decoder
// and how it is answered when no decision goes back. Everything else about the agent is its row
// (Models' AgentCatalogue), which the hook reads too. An agent without such quirks has no driver.
// Drivers are constants defined in the agents' folders and listed in AgentDrivers.cpp.
struct AgentDriver {
  std::string_view id;  // the provider's raw value, as its row says
  // Rewrites the document and adds what the agent's own files below `home` tell (titles,
  // parents, workflows); never fails. nullptr: the document is mapped as it came.
  ProviderHookEnrichment (*enrich)(const AgentHookPayload& payload, Date now,
                                   const std::filesystem::path& home) = nullptr;
  // What the hook prints when it carries no decision, for the event the document names (absent
  // when it names none). nullptr: "{}".
  std::string (*passiveAnswer)(const std::optional<std::string>& eventName) = nullptr;
  // The prompt as the user typed it, from the text the agent sends. nullptr: as sent.
  std::string (*visiblePrompt)(std::string_view text) = nullptr;
  // The agent reports sub-agents' starts and ends also without saying which sub-agent: such an
  // event belongs to the parent's session, and a turn end of an unnamed sub-agent is dropped.
  bool unnamedSubagents = false;
};

}  // namespace tarvel
