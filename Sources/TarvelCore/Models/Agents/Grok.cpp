#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 1> editTools{"str_replace_editor"};
constexpr std::array<std::string_view, 1> shellTools{"bash"};

}  // namespace

// Grok's hooks report its steps and carry no decision back. It runs Claude Code's and Cursor's
// hooks too (the hook tells those apart, Hooks/Grok/GrokHookRouting.hpp), reports a turn's end
// more than once, and keeps workflow runs in its own files, which the hook reads.
constinit const AgentRow grok{
    .id = "grok",
    .displayName = "Grok",
    .tools = {.edit = editTools, .shell = shellTools},
    .sessions = {.startsOpenNoSession = true, .repeatsTurnEnds = true, .reportsWorkflows = true},
};

}  // namespace tarvel::AgentRows
