#pragma once

#include <array>

#include "TarvelCore/Models/AgentRow.hpp"

// Each agent's row, defined in its own file beside this one and listed in AgentCatalogue.cpp.
// Read them through AgentCatalogue; only the catalogue names them.
namespace tarvel::AgentRows {

extern const AgentRow claudeCode;
extern const AgentRow codex;
extern const AgentRow geminiCLI;
extern const AgentRow cursor;
extern const AgentRow qwenCode;
extern const AgentRow gitHubCopilot;
extern const AgentRow grok;
extern const AgentRow openCode;
extern const AgentRow kilo;
extern const AgentRow droid;
extern const AgentRow antigravity;

// The events OpenCode's plugin hands to the hook, which Kilo's shares (OpenCode.cpp).
extern const std::array<HookEntry, 7> openCodePluginEvents;

}  // namespace tarvel::AgentRows
