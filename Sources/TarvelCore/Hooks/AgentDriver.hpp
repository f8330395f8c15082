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

namespace tarvel {

// What only the hook knows of one agent: how its documents are read beyond the shared decoder
// and how it is answered when no decision goes back. Everything else about the agent is its row
// (Models' AgentCatalogue), which the hook reads too. An agent without such quirks has no driver.
// Drivers are constants defined in the agents' folders and listed in AgentDrivers.cpp.
struct AgentDriver {
  std::string_view id;  // the provider's raw value, as its row says
  // Rewrites a document of the agent's own shape into the shared decoder's keys, for an agent
  // whose documents are not hook documents (OpenCode's plugin events); `commandLineEvent` names
  // the event when the document does not. nullptr: decoded as it came.
  Json (*document)(Json raw, const std::optional<std::string>& commandLineEvent) = nullptr;
  // Rewrites the document and adds what the agent's own files below `home` tell (titles,
  // parents, workflows); never fails. nullptr: the document is mapped as it came.
  ProviderHookEnrichment (*enrich)(const AgentHookPayload& payload, Date now,
                                   const std::filesystem::path& home) = nullptr;
  // What the hook prints when it carries no decision, for the event the document names (absent
  // when it names none). nullptr: "{}".
  std::string (*passiveAnswer)(const std::optional<std::string>& eventName) = nullptr;
  // The prompt as the user typed it, from the text the agent sends. nullptr: as sent.
  std::string (*visiblePrompt)(std::string_view text) = nullptr;
  // Whether the agent would itself ask the user about this permission request, for an agent that
  // sends one also for what its own rules allow (`agentArguments`: the agent's command line; its
  // own files are below `home`). Only what it would ask about is held. nullptr: it sends only
  // what it asks about.
  bool (*wouldAsk)(const AgentHookPayload& payload, const std::filesystem::path& home,
                   std::span<const std::string> agentArguments) = nullptr;
  // The agent's answer to a permission request, made of the decision ({"behavior": "allow"} or
  // {"behavior": "deny", "message": ...}). nullptr: Claude Code's, which nests the decision in
  // {"hookSpecificOutput": {"hookEventName": "PermissionRequest", "decision": ...}}.
  Json (*permissionAnswer)(Json decision) = nullptr;
  // The agent reports sub-agents' starts and ends also without saying which sub-agent: such an
  // event belongs to the parent's session, and a turn end of an unnamed sub-agent is dropped.
  bool unnamedSubagents = false;
};

}  // namespace tarvel
