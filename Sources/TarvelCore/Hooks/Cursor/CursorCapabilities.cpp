#include <array>

#include "TarvelCore/Hooks/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array cursorHookEntries{
    HookEntry{.event = "beforeSubmitPrompt"},
    HookEntry{.event = "beforeShellExecution"},
    HookEntry{.event = "beforeMCPExecution"},
    HookEntry{.event = "afterFileEdit"},
    HookEntry{.event = "stop"},
};

}  // namespace

const AgentCapabilities& cursor() {
  static const AgentCapabilities row{
      .provider = AgentProvider::cursor,
      .installName = "cursor",
      .displayName = "Cursor",
      .configurationFile = ".cursor/hooks.json",
      .hookEntries = cursorHookEntries,
  };
  return row;
}

}  // namespace tarvel::AgentRows
