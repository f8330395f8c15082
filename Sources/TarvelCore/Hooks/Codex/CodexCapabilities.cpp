#include <array>

#include "TarvelCore/Hooks/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

// Codex carries an answer back only from PermissionRequest; nothing else waits.
constexpr std::array codexDecisionEvents{HookEventName::permissionRequest};

constexpr std::array codexHookEntries{
    HookEntry{.event = "SessionStart"},
    HookEntry{.event = "UserPromptSubmit"},
    HookEntry{.event = "PreToolUse", .tools = ToolMatcher::all},
    HookEntry{
        .event = "PermissionRequest", .tools = ToolMatcher::all, .limit = HookTimeLimit::waiting},
    HookEntry{.event = "PostToolUse", .tools = ToolMatcher::all},
    HookEntry{.event = "SubagentStart"},
    HookEntry{.event = "SubagentStop"},
    HookEntry{.event = "Stop"},
    // Esc in Codex ends the turn with Interrupt instead of Stop. Codex clamps Interrupt and
    // SessionEnd hooks to 3 s and warns at every start about any longer limit.
    HookEntry{.event = "Interrupt", .capSeconds = 3},
    HookEntry{.event = "SessionEnd", .capSeconds = 3},
};

}  // namespace

const AgentCapabilities& codex() {
  static const AgentCapabilities row{
      .provider = AgentProvider::codex,
      .installName = "codex",
      .displayName = "Codex",
      .configurationFile = ".codex/hooks.json",
      .hookEntries = codexHookEntries,
      .decisionEvents = codexDecisionEvents,
  };
  return row;
}

}  // namespace tarvel::AgentRows
