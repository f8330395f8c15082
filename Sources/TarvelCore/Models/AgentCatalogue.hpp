#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/AgentRow.hpp"

// The one table of agents, readable by every room: who each agent is, the name every surface
// shows, its configuration, its hooks, its tools and its habits (AgentRow.hpp). Rooms that must
// not name an agent ask it instead ("is this an edit tool", "the name of provider X"). The rows
// are constants; every function is pure and may be called from any thread.
namespace tarvel::AgentCatalogue {

// Every known agent, installable ones first in the order `tarvel` lists them.
std::span<const AgentRow* const> all();

// The row of `provider`; nullptr for an agent without one.
const AgentRow* of(const AgentProvider& provider);

// The row whose install name is `name`; nullptr when none.
const AgentRow* installable(std::string_view name);

// The name every surface shows for `provider`: its row's ("Claude Code"), else its own display
// name ("My Agent" for my-agent).
std::string displayName(const AgentProvider& provider);

// How `provider`'s events fold into sessions: its row's habits, else the common ones.
const SessionHabits& habitsOf(const AgentProvider& provider);

// Whether `provider` shows its own dialog while its hook waits for our answer (its row's
// showsDialogWhileHookWaits); an agent without a row: false.
bool showsDialogWhileHookWaits(const AgentProvider& provider);

// Whether `provider` asks the person in its own dialog when its hook returns no decision (its
// row's asksInOwnDialogWithoutDecision); an agent without a row: false.
bool asksInOwnDialogWithoutDecision(const AgentProvider& provider);

// Whether some agent's tool of this name changes files, compared by tool identifier
// (Text::toolIdentifier: "mcp__fs__Edit" is "edit").
bool isEditTool(std::string_view name);

// Whether some agent's tool of this name runs a command, compared by the whole name in lower case
// ("Bash", "run_shell_command").
bool isShellTool(std::string_view name);

// Which interactive tool `toolName` is for `provider` (compared by tool identifier).
std::optional<InteractiveTool> interactiveTool(const AgentProvider& provider,
                                               const std::optional<std::string>& toolName);

// Which interactive tool `toolName` is for any agent: for readers that see a document without
// knowing its agent.
std::optional<InteractiveTool> interactiveToolOfAnyAgent(
    const std::optional<std::string>& toolName);

// The matcher text of `entry` in the row's configuration; absent for ToolMatcher::none.
std::optional<std::string> matcherText(const AgentRow& row, const HookEntry& entry);

}  // namespace tarvel::AgentCatalogue
