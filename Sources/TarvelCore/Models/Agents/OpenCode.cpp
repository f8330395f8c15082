#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 3> editTools{"edit", "write", "patch"};
constexpr std::array<std::string_view, 1> shellTools{"bash"};

}  // namespace

// OpenCode reports through a plugin of its own rather than hook commands; known by its name and
// tools until tarvel install writes that plugin.
constinit const AgentRow openCode{
    .id = "opencode",
    .displayName = "OpenCode",
    .tools = {.edit = editTools, .shell = shellTools},
};

}  // namespace tarvel::AgentRows
