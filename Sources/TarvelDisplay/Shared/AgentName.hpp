#pragma once

#include <string>

#include "TarvelCore/Models/AgentProvider.hpp"

namespace tarvel::Display {

// The agent's name as people know it and as the terminal display shows it: "Claude Code",
// "Codex", "Gemini CLI"; other agents by their own name. Notifications, the page's names and
// `tarvel log` show it.
std::string agentName(const AgentProvider& provider);

}  // namespace tarvel::Display
