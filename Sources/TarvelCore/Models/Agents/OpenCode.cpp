#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array<std::string_view, 3> editTools{"edit", "write", "patch"};
constexpr std::array<std::string_view, 1> shellTools{"bash"};

constexpr std::array decisionEvents{HookEventName::permissionRequest};

}  // namespace

// The events the plugin hands to the hook, as OpenCode (and Kilo, its fork) names them: its bus
// events and the plugin handlers it calls with a session. Only permission.asked waits, and it
// comes only when the agent asks.
constinit const std::array<HookEntry, 7> openCodePluginEvents{
    HookEntry{.event = "session.created"},
    HookEntry{.event = "chat.message"},
    HookEntry{.event = "tool.execute.before"},
    HookEntry{.event = "permission.asked", .limit = HookTimeLimit::waiting},
    HookEntry{.event = "tool.execute.after"},
    HookEntry{.event = "session.idle"},
    HookEntry{.event = "session.error"},
};

// OpenCode reports through a plugin of ours in its plugin folder (its configuration folder
// follows XDG_CONFIG_HOME). It shows its own permission dialog at once, while the plugin waits
// for our answer: whichever answer comes first counts. The answer goes back through its client
// as "once" or "reject".
constinit const AgentRow openCode{
    .id = "opencode",
    .installName = "opencode",
    .displayName = "OpenCode",
    .configuration = {.file = ".config/opencode/plugins/tarvel.js",
                      .format = HookFileFormat::plugin,
                      .timeUnit = HookTimeUnit::milliseconds,
                      .folderVariable = "XDG_CONFIG_HOME"},
    .hookEntries = openCodePluginEvents,
    .decisionEvents = decisionEvents,
    .tools = {.edit = editTools, .shell = shellTools},
    .showsDialogWhileHookWaits = true,
};

}  // namespace tarvel::AgentRows
