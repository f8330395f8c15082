#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 2> editTools{"write_file", "replace"};
constexpr std::array<std::string_view, 1> shellTools{"run_shell_command"};

// Gemini CLI reports its steps but reads no decision back; an absent matcher matches every tool.
constexpr std::array hookEntries{
    HookEntry{.event = "SessionStart"}, HookEntry{.event = "BeforeAgent"},
    HookEntry{.event = "BeforeTool"},   HookEntry{.event = "AfterTool"},
    HookEntry{.event = "AfterAgent"},   HookEntry{.event = "Notification"},
    HookEntry{.event = "SessionEnd"},
};

}  // namespace

constinit const AgentRow geminiCLI{
    .id = "gemini-cli",
    .installName = "gemini-cli",
    .displayName = "Gemini CLI",
    .configuration = {.file = ".gemini/settings.json", .timeUnit = HookTimeUnit::milliseconds},
    .hookEntries = hookEntries,
    .tools = {.edit = editTools, .shell = shellTools},
    // Gemini CLI runs hooks only in a folder it trusts.
    .startAdvice = "a new Gemini CLI session in a trusted workspace",
};

}  // namespace tarvel::AgentRows
