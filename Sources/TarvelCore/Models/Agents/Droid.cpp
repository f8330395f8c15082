#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 3> editTools{"Edit", "Create", "ApplyPatch"};
constexpr std::array<std::string_view, 1> shellTools{"Execute"};

// Droid sends no permission request: its pre-tool hook's permissionDecision answers for the
// prompt it would show.
constexpr std::array decisionEvents{HookEventName::preToolUse};

constexpr std::array hookEntries{
    HookEntry{.event = "SessionStart"},
    HookEntry{.event = "UserPromptSubmit"},
    HookEntry{.event = "PreToolUse", .tools = ToolMatcher::all, .limit = HookTimeLimit::waiting},
    HookEntry{.event = "PostToolUse", .tools = ToolMatcher::all},
    HookEntry{.event = "Notification"},
    HookEntry{.event = "Stop"},
    HookEntry{.event = "SubagentStop"},
    HookEntry{.event = "SessionEnd"},
};

}  // namespace

// Factory Droid's hooks take Claude Code's shape in ~/.factory/settings.json, which Droid
// rewrites itself (install merges into it). Its pre-tool hook holds only what Droid would ask
// about in its current autonomy (its driver, Hooks/Droid/); a hook that exits 1 or runs out of
// time lets Droid decide by itself.
constinit const AgentRow droid{
    .id = "droid",
    .installName = "droid",
    .displayName = "Droid",
    .configuration = {.file = ".factory/settings.json"},
    .hookEntries = hookEntries,
    .decisionEvents = decisionEvents,
    .tools = {.edit = editTools, .shell = shellTools},
    .answersAtPreToolUse = true,
};

}  // namespace tarvel::AgentRows
