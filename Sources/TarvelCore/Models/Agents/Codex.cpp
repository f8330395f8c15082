#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 1> editTools{"apply_patch"};
constexpr std::array<std::string_view, 2> shellTools{"Bash", "shell"};

// Codex carries an answer back only from PermissionRequest; nothing else waits.
constexpr std::array decisionEvents{HookEventName::permissionRequest};

constexpr std::array hookEntries{
    HookEntry{.event = "SessionStart"},
    HookEntry{.event = "UserPromptSubmit"},
    HookEntry{.event = "PreToolUse", .tools = ToolMatcher::all},
    HookEntry{
        .event = "PermissionRequest", .tools = ToolMatcher::all, .limit = HookTimeLimit::waiting},
    HookEntry{.event = "PostToolUse", .tools = ToolMatcher::all},
    HookEntry{.event = "SubagentStart"},
    HookEntry{.event = "SubagentStop"},
    HookEntry{.event = "Stop"},
    // Esc in Codex ends the turn with Interrupt instead of Stop. Codex clamps Interrupt and
    // SessionEnd hooks to 3 s and warns at every start about any longer limit.
    HookEntry{.event = "Interrupt", .capSeconds = 3},
    HookEntry{.event = "SessionEnd", .capSeconds = 3},
};

// Codex opens a session of its own to write a commit message from this prompt.
constexpr std::array<std::string_view, 1> helperPrompts{
    "using the supplied git context below, generate a git commit message"};

}  // namespace

constinit const AgentRow codex{
    .id = "codex",
    .installName = "codex",
    .displayName = "Codex",
    .configuration = {.file = ".codex/hooks.json"},
    .hookEntries = hookEntries,
    .decisionEvents = decisionEvents,
    .tools = {.edit = editTools, .shell = shellTools},
    .sessions = {.helperPrompts = helperPrompts},
    .trust = HookTrust::codexAppServer,
    .asksInOwnDialogWithoutDecision = true,
};

}  // namespace tarvel::AgentRows
