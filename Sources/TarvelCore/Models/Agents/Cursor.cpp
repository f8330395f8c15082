#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 1> editTools{"search_replace"};
constexpr std::array<std::string_view, 1> shellTools{"run_terminal_command"};

constexpr std::array hookEntries{
    HookEntry{.event = "beforeSubmitPrompt"},
    HookEntry{.event = "beforeShellExecution"},
    HookEntry{.event = "beforeMCPExecution"},
    HookEntry{.event = "afterFileEdit"},
    HookEntry{.event = "stop"},
};

}  // namespace

constinit const AgentRow cursor{
    .id = "cursor",
    .installName = "cursor",
    .displayName = "Cursor",
    .configuration = {.file = ".cursor/hooks.json", .format = HookFileFormat::commandList},
    .hookEntries = hookEntries,
    .tools = {.edit = editTools, .shell = shellTools},
    // Cursor reads its hooks when it starts.
    .startAdvice = "restart Cursor",
};

}  // namespace tarvel::AgentRows
