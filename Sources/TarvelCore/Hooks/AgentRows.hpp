#pragma once

#include "TarvelCore/Hooks/AgentCapabilities.hpp"

// Each agent's row of the capability table, defined in the agent's own folder.
namespace tarvel::AgentRows {

const AgentCapabilities& claudeCode();
const AgentCapabilities& codex();
const AgentCapabilities& geminiCLI();
const AgentCapabilities& cursor();
const AgentCapabilities& grok();
const AgentCapabilities& antigravity();

}  // namespace tarvel::AgentRows
