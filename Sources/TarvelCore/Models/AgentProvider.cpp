#include "TarvelCore/Models/AgentProvider.hpp"

#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {

AgentProvider::AgentProvider(std::string_view raw) : rawValue(Text::lowercased(raw)) {}

std::string AgentProvider::displayName() const {
  if (rawValue == "codex") return "Codex";
  if (rawValue == "claude-code") return "Claude";
  if (rawValue == "gemini-cli") return "Gemini";
  if (rawValue == "grok") return "Grok";
  if (rawValue == "opencode") return "OpenCode";
  if (rawValue == "antigravity") return "Antigravity";
  if (rawValue == "cursor") return "Cursor";
  return Text::capitalized(Text::replacingAll(rawValue, "-", " "));
}

std::string AgentProvider::namespacedSessionID(std::string_view id) const {
  const std::string prefix = rawValue + ":";
  if (id.starts_with(prefix)) {
    return std::string(id);
  }
  return prefix + std::string(id);
}

}  // namespace tarvel
