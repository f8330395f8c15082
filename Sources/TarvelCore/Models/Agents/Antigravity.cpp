#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

// As the hook's driver names them once it has read Antigravity's own names ("client_write_file").
constexpr std::array<std::string_view, 3> editTools{"write_to_file", "replace_file_content",
                                                    "multi_replace_file_content"};
constexpr std::array<std::string_view, 1> shellTools{"run_command"};

}  // namespace

// Antigravity reads no decision back, but expects its own passive answer for each event (its
// driver, Hooks/Antigravity/).
constinit const AgentRow antigravity{
    .id = "antigravity",
    .displayName = "Antigravity",
    .tools = {.edit = editTools, .shell = shellTools},
};

}  // namespace tarvel::AgentRows
