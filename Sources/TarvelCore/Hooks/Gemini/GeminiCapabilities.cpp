#include <array>

#include "TarvelCore/Hooks/AgentRows.hpp"

namespace tarvel::AgentRows {
namespace {

// Gemini CLI reports its steps but reads no decision back; an absent matcher matches every tool.
constexpr std::array geminiHookEntries{
    HookEntry{.event = "SessionStart"}, HookEntry{.event = "BeforeAgent"},
    HookEntry{.event = "BeforeTool"},   HookEntry{.event = "AfterTool"},
    HookEntry{.event = "AfterAgent"},   HookEntry{.event = "Notification"},
    HookEntry{.event = "SessionEnd"},
};

}  // namespace

const AgentCapabilities& geminiCLI() {
  static const AgentCapabilities row{
      .provider = AgentProvider::geminiCLI,
      .installName = "gemini-cli",
      .displayName = "Gemini CLI",
      .configurationFile = ".gemini/settings.json",
      .timeUnit = HookTimeUnit::milliseconds,
      .hookEntries = geminiHookEntries,
  };
  return row;
}

}  // namespace tarvel::AgentRows
