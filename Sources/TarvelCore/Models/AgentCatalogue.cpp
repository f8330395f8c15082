#include "TarvelCore/Models/AgentCatalogue.hpp"

#include <algorithm>
#include <array>

#include "TarvelCore/Models/Agents/AgentRows.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::AgentCatalogue {
namespace {

// Installable agents first, in the order `tarvel` lists them.
constinit const std::array<const AgentRow*, 11> rows{
    &AgentRows::claudeCode, &AgentRows::codex,         &AgentRows::geminiCLI,   &AgentRows::cursor,
    &AgentRows::qwenCode,   &AgentRows::gitHubCopilot, &AgentRows::openCode,    &AgentRows::kilo,
    &AgentRows::droid,      &AgentRows::grok,          &AgentRows::antigravity,
};

// Whether `lowered`, a lower-cased name, is one of `names` in lower case.
bool listed(std::span<const std::string_view> names, std::string_view lowered) {
  return std::any_of(names.begin(), names.end(),
                     [&](std::string_view name) { return Text::lowercased(name) == lowered; });
}

std::optional<InteractiveTool> interactiveToolIn(const AgentRow& row,
                                                 const std::string& identifier) {
  for (const InteractiveToolEntry& tool : row.tools.interactive) {
    if (tool.identifier == identifier) {
      return tool.kind;
    }
  }
  return std::nullopt;
}

}  // namespace

std::span<const AgentRow* const> all() { return rows; }

const AgentRow* of(const AgentProvider& provider) {
  for (const AgentRow* row : rows) {
    if (row->id == provider.rawValue) {
      return row;
    }
  }
  return nullptr;
}

const AgentRow* installable(std::string_view name) {
  for (const AgentRow* row : rows) {
    if (!row->installName.empty() && row->installName == name) {
      return row;
    }
  }
  return nullptr;
}

std::string displayName(const AgentProvider& provider) {
  const AgentRow* row = of(provider);
  return row != nullptr ? std::string(row->displayName) : provider.displayName();
}

const SessionHabits& habitsOf(const AgentProvider& provider) {
  static constexpr SessionHabits common;
  const AgentRow* row = of(provider);
  return row != nullptr ? row->sessions : common;
}

bool showsDialogWhileHookWaits(const AgentProvider& provider) {
  const AgentRow* row = of(provider);
  return row != nullptr && row->showsDialogWhileHookWaits;
}

bool asksInOwnDialogWithoutDecision(const AgentProvider& provider) {
  const AgentRow* row = of(provider);
  return row != nullptr && row->asksInOwnDialogWithoutDecision;
}

bool isEditTool(std::string_view name) {
  const std::string identifier = Text::toolIdentifier(name);
  return std::any_of(rows.begin(), rows.end(),
                     [&](const AgentRow* row) { return listed(row->tools.edit, identifier); });
}

bool isShellTool(std::string_view name) {
  const std::string lowered = Text::lowercased(name);
  return std::any_of(rows.begin(), rows.end(),
                     [&](const AgentRow* row) { return listed(row->tools.shell, lowered); });
}

std::optional<InteractiveTool> interactiveTool(const AgentProvider& provider,
                                               const std::optional<std::string>& toolName) {
  const AgentRow* row = of(provider);
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
  for (const AgentRow* row : rows) {
    if (const auto kind = interactiveToolIn(*row, identifier)) {
      return kind;
    }
  }
  return std::nullopt;
}

std::optional<std::string> matcherText(const AgentRow& row, const HookEntry& entry) {
  std::string alternatives;
  for (const InteractiveToolEntry& tool : row.tools.interactive) {
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

}  // namespace tarvel::AgentCatalogue
