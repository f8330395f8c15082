#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 4> editTools{"Edit", "MultiEdit", "Write", "NotebookEdit"};
constexpr std::array<std::string_view, 1> shellTools{"Bash"};
constexpr std::array interactiveTools{
    InteractiveToolEntry{.name = "AskUserQuestion",
                         .identifier = "askuserquestion",
                         .kind = InteractiveTool::question},
    InteractiveToolEntry{
        .name = "ExitPlanMode", .identifier = "exitplanmode", .kind = InteractiveTool::plan},
};

constexpr std::array decisionEvents{HookEventName::permissionRequest, HookEventName::elicitation,
                                    HookEventName::preToolUse};

// Only the interactive tools wait on PreToolUse; every other tool gets a passive hook whose short
// limit never holds the agent.
constexpr std::array hookEntries{
    HookEntry{.event = "SessionStart"},
    HookEntry{.event = "UserPromptSubmit"},
    HookEntry{
        .event = "PreToolUse", .tools = ToolMatcher::interactive, .limit = HookTimeLimit::waiting},
    HookEntry{.event = "PreToolUse", .tools = ToolMatcher::others},
    HookEntry{.event = "PostToolUse", .tools = ToolMatcher::all},
    HookEntry{.event = "PostToolUseFailure", .tools = ToolMatcher::all},
    HookEntry{
        .event = "PermissionRequest", .tools = ToolMatcher::all, .limit = HookTimeLimit::waiting},
    HookEntry{.event = "Notification"},
    HookEntry{.event = "Stop"},
    HookEntry{.event = "StopFailure"},
    HookEntry{.event = "SubagentStart"},
    HookEntry{.event = "SubagentStop"},
    HookEntry{.event = "SessionEnd"},
    HookEntry{.event = "Elicitation", .limit = HookTimeLimit::waiting},
};

}  // namespace

// Claude Code holds for permission requests, MCP servers' questions (Elicitation) and its
// question and plan tools, whose answers its pre-tool hook carries back.
constinit const AgentRow claudeCode{
    .id = "claude-code",
    .installName = "claude-code",
    .displayName = "Claude Code",
    .configuration = {.file = ".claude/settings.json"},
    .hookEntries = hookEntries,
    .decisionEvents = decisionEvents,
    .tools = {.edit = editTools, .shell = shellTools, .interactive = interactiveTools},
    .showsDialogWhileHookWaits = true,
    .asksInOwnDialogWithoutDecision = true,
};

}  // namespace tarvel::AgentRows
