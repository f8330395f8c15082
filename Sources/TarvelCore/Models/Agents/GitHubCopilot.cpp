#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 2> editTools{"create", "edit"};
constexpr std::array<std::string_view, 1> shellTools{"bash"};

constexpr std::array decisionEvents{HookEventName::permissionRequest};

constexpr std::array hookEntries{
    HookEntry{.event = "sessionStart"},
    HookEntry{.event = "userPromptSubmitted"},
    HookEntry{.event = "preToolUse"},
    HookEntry{.event = "permissionRequest", .limit = HookTimeLimit::waiting},
    HookEntry{.event = "postToolUse"},
    HookEntry{.event = "notification"},
    HookEntry{.event = "agentStop"},
    HookEntry{.event = "subagentStart"},
    HookEntry{.event = "subagentStop"},
    HookEntry{.event = "sessionEnd"},
};

}  // namespace

// GitHub Copilot CLI names no event in most of its documents, so each hook command names it. It
// sends permissionRequest before its own rules decide, for every tool call alike; its driver
// (Hooks/Copilot/) holds only what it would ask about. Its timestamps are in milliseconds, and a
// hook that exits with anything but 0 denies the tool.
constinit const AgentRow gitHubCopilot{
    .id = "copilot",
    .installName = "copilot",
    .displayName = "GitHub Copilot",
    .configuration = {.file = ".copilot/settings.json",
                      .format = HookFileFormat::typedCommands,
                      .eventOnCommandLine = true,
                      .folderVariable = "COPILOT_HOME"},
    .hookEntries = hookEntries,
    .decisionEvents = decisionEvents,
    .tools = {.edit = editTools, .shell = shellTools},
    .asksInOwnDialogWithoutDecision = true,
};

}  // namespace tarvel::AgentRows
