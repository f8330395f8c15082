#pragma once

#include <vector>

#include "Tools/tarvel/CommandLine.hpp"

// The names `--agent` takes (`tarvel install`, `tarvel remote add`), read from the agent
// catalogue: every row with an install name, in the catalogue's order. The one place tarvel's
// command line reads them, so help texts, refusals and completions follow the catalogue.
namespace tarvel::AgentNames {

// "claude-code" with "Claude Code (~/.claude/settings.json)", ...
std::vector<CommandLine::Word> installable();

}  // namespace tarvel::AgentNames
