#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

// Grok's own tool names, which its hook documents carry: it edits and writes files with
// "search_replace" (Claude's Edit, Write and MultiEdit all map to it) and runs commands with
// "run_terminal_command".
constexpr std::array<std::string_view, 1> editTools{"search_replace"};
constexpr std::array<std::string_view, 1> shellTools{"run_terminal_command"};

// No matchers: Grok reads a matcher as a regular expression and an omitted one matches every
// tool. Its SessionStart opens no session, so it is not hooked.
constexpr std::array hookEntries{
    HookEntry{.event = "UserPromptSubmit"},
    HookEntry{.event = "PreToolUse"},
    HookEntry{.event = "PostToolUse"},
    HookEntry{.event = "PostToolUseFailure"},
    HookEntry{.event = "Notification"},
    HookEntry{.event = "Stop"},
    HookEntry{.event = "StopFailure"},
    HookEntry{.event = "StopCancelled"},
    HookEntry{.event = "SubagentStart"},
    HookEntry{.event = "SubagentStop"},
    HookEntry{.event = "SessionEnd"},
};

}  // namespace

// Grok Build reads every "*.json" of ~/.grok/hooks in Claude Code's shape (limits in seconds,
// 5 s by default); ours is a file of its own there. Its hooks report its steps and carry no
// decision back: its pre-tool hook runs before its own permission prompt, which an allow does not
// answer. It runs Claude Code's and Cursor's hooks too, and sets GROK_HOOK_EVENT for every hook
// it runs: the hook stands down as those when this file holds ours
// (Hooks/Grok/GrokHookRouting.hpp). It reports a turn's end more than once, and keeps workflow
// runs in its own files, which the hook reads.
constinit const AgentRow grok{
    .id = "grok",
    .installName = "grok",
    .displayName = "Grok",
    .configuration = {.file = ".grok/hooks/tarvel.json"},
    .hookEntries = hookEntries,
    .tools = {.edit = editTools, .shell = shellTools},
    .sessions = {.startsOpenNoSession = true, .repeatsTurnEnds = true, .reportsWorkflows = true},
};

}  // namespace tarvel::AgentRows
