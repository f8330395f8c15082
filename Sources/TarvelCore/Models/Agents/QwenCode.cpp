#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 2> editTools{"edit", "write_file"};
constexpr std::array<std::string_view, 1> shellTools{"run_shell_command"};

// Qwen Code asks through PermissionRequest, and only when it would show its own dialog; the
// hook's answer replaces that dialog. PreToolUse comes only after approval.
constexpr std::array decisionEvents{HookEventName::permissionRequest};

constexpr std::array hookEntries{
    HookEntry{.event = "SessionStart"},
    HookEntry{.event = "UserPromptSubmit"},
    HookEntry{
        .event = "PermissionRequest", .tools = ToolMatcher::all, .limit = HookTimeLimit::waiting},
    HookEntry{.event = "PreToolUse", .tools = ToolMatcher::all},
    HookEntry{.event = "PostToolUse", .tools = ToolMatcher::all},
    HookEntry{.event = "Notification"},
    HookEntry{.event = "Stop"},
    HookEntry{.event = "SubagentStart"},
    HookEntry{.event = "SubagentStop"},
    HookEntry{.event = "SessionEnd"},
};

}  // namespace

// Qwen Code's hooks take Claude Code's shape and answers. Its limits are documented in seconds,
// but it reads any value of 1000 or more as milliseconds: written in milliseconds, every limit
// means what it says, long holds included. After a tool result it sends a second
// UserPromptSubmit with an empty prompt, which names no task. It follows a turn's end, or an
// Esc at its dialog, with an idle notice ("idle_prompt").
constinit const AgentRow qwenCode{
    .id = "qwen-code",
    .installName = "qwen-code",
    .displayName = "Qwen Code",
    .configuration = {.file = ".qwen/settings.json", .timeUnit = HookTimeUnit::milliseconds},
    .hookEntries = hookEntries,
    .decisionEvents = decisionEvents,
    .tools = {.edit = editTools, .shell = shellTools},
    .sessions = {.repeatsTurnEnds = true},
    .asksInOwnDialogWithoutDecision = true,
};

}  // namespace tarvel::AgentRows
