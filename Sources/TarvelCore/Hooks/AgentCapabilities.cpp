#include "TarvelCore/Hooks/AgentCapabilities.hpp"

#include <algorithm>
#include <array>

#include "TarvelCore/Hooks/AgentRows.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::AgentCapabilityTable {
namespace {

const std::array<const AgentCapabilities*, 6>& rows() {
  static const std::array<const AgentCapabilities*, 6> table{
      &AgentRows::claudeCode(), &AgentRows::codex(), &AgentRows::geminiCLI(),
      &AgentRows::cursor(),     &AgentRows::grok(),  &AgentRows::antigravity(),
  };
  return table;
}

std::optional<InteractiveTool> interactiveToolIn(const AgentCapabilities& row,
                                                 const std::string& identifier) {
  for (const InteractiveToolEntry& tool : row.interactiveTools) {
    if (tool.identifier == identifier) {
      return tool.kind;
    }
  }
  return std::nullopt;
}

}  // namespace

std::span<const AgentCapabilities* const> all() { return rows(); }

const AgentCapabilities* of(const AgentProvider& provider) {
  for (const AgentCapabilities* row : rows()) {
    if (row->provider == provider) {
      return row;
    }
  }
  return nullptr;
}

const AgentCapabilities* installable(std::string_view name) {
  for (const AgentCapabilities* row : rows()) {
    if (!row->installName.empty() && row->installName == name) {
      return row;
    }
  }
  return nullptr;
}

std::optional<InteractiveTool> interactiveTool(const AgentProvider& provider,
                                               const std::optional<std::string>& toolName) {
  const AgentCapabilities* row = of(provider);
  if (row == nullptr || !toolName) {
    return std::nullopt;
  }
  return interactiveToolIn(*row, Text::toolIdentifier(*toolName));
}

std::optional<InteractiveTool> interactiveToolOfAnyAgent(
    const std::optional<std::string>& toolName) {
  if (!toolName) {
    return std::nullopt;
  }
  const std::string identifier = Text::toolIdentifier(*toolName);
  for (const AgentCapabilities* row : rows()) {
    if (const auto kind = interactiveToolIn(*row, identifier)) {
      return kind;
    }
  }
  return std::nullopt;
}

bool carriesDecision(const AgentProvider& provider, const AgentHookPayload& payload) {
  const AgentCapabilities* row = of(provider);
  const auto event = HookEventNames::fromRawEventName(payload.hookEventName);
  if (row == nullptr || !event ||
      std::find(row->decisionEvents.begin(), row->decisionEvents.end(), *event) ==
          row->decisionEvents.end()) {
    return false;
  }
  // A pre-tool hook decides only for the tools that ask the user.
  return *event != HookEventName::preToolUse ||
         interactiveTool(provider, payload.toolName).has_value();
}

std::optional<std::string> matcherText(const AgentCapabilities& row, const HookEntry& entry) {
  std::string alternatives;
  for (const InteractiveToolEntry& tool : row.interactiveTools) {
    alternatives += (alternatives.empty() ? "" : "|") + std::string(tool.name);
    if (entry.tools == ToolMatcher::others) {
      alternatives += "$";
    }
  }
  switch (entry.tools) {
    case ToolMatcher::none:
      return std::nullopt;
    case ToolMatcher::all:
      return "*";
    case ToolMatcher::interactive:
      return alternatives;
    case ToolMatcher::others:
      // Claude Code reads a matcher as a regular expression.
      return "^(?!" + alternatives + ").*";
  }
  return std::nullopt;
}

}  // namespace tarvel::AgentCapabilityTable
