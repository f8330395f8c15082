#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 3> editTools{"edit", "write", "patch"};
constexpr std::array<std::string_view, 1> shellTools{"bash"};

constexpr std::array decisionEvents{HookEventName::permissionRequest};

}  // namespace

// Kilo CLI is a fork of OpenCode with the same plugins, events and answers, in its own folder.
constinit const AgentRow kilo{
    .id = "kilo",
    .installName = "kilo",
    .displayName = "Kilo",
    .configuration = {.file = ".config/kilo/plugins/tarvel.js",
                      .format = HookFileFormat::plugin,
                      .timeUnit = HookTimeUnit::milliseconds,
                      .folderVariable = "XDG_CONFIG_HOME"},
    .hookEntries = openCodePluginEvents,
    .decisionEvents = decisionEvents,
    .tools = {.edit = editTools, .shell = shellTools},
    .showsDialogWhileHookWaits = true,
};

}  // namespace tarvel::AgentRows
