#include <array>

#include "TarvelCore/Hooks/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

constexpr std::array claudeInteractiveTools{
    InteractiveToolEntry{.name = "AskUserQuestion",
                         .identifier = "askuserquestion",
                         .kind = InteractiveTool::question},
    InteractiveToolEntry{
        .name = "ExitPlanMode", .identifier = "exitplanmode", .kind = InteractiveTool::plan},
};

constexpr std::array claudeDecisionEvents{HookEventName::permissionRequest, HookEventName::elicitation,
                                    HookEventName::preToolUse};

// Only the interactive tools wait on PreToolUse; every other tool gets a passive hook whose short
// limit never holds the agent.

constexpr std::array claudeHookEntries{
    HookEntry{.event = "SessionStart"},
    HookEntry{.event = "UserPromptSubmit"},
    HookEntry{
        .event = "PreToolUse", .tools = ToolMatcher::interactive, .limit = HookTimeLimit::waiting},
    HookEntry{.event = "PreToolUse", .tools = ToolMatcher::others},
    HookEntry{.event = "PostToolUse", .tools = ToolMatcher::all},
    HookEntry{.event = "PostToolUseFailure", .tools = ToolMatcher::all},
    HookEntry{
        .event = "PermissionRequest", .tools = ToolMatcher::all, .limit = HookTimeLimit::waiting},
    HookEntry{.event = "Notification"},
    HookEntry{.event = "Stop"},
    HookEntry{.event = "StopFailure"},
    HookEntry{.event = "SubagentStart"},
    HookEntry{.event = "SubagentStop"},
    HookEntry{.event = "SessionEnd"},
    HookEntry{.event = "Elicitation", .limit = HookTimeLimit::waiting},
};

}  // namespace

const AgentCapabilities& claudeCode() {
  static const AgentCapabilities row{
      .provider = AgentProvider::claudeCode,
      .installName = "claude-code",
      .displayName = "Claude Code",
      .configurationFile = ".claude/settings.json",
      .hookEntries = claudeHookEntries,
      .decisionEvents = claudeDecisionEvents,
      .interactiveTools = claudeInteractiveTools,
  };
  return row;
}

}  // namespace tarvel::AgentRows
