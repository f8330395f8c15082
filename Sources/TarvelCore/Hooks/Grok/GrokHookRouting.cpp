#include "TarvelCore/Hooks/Grok/GrokHookRouting.hpp"

#include <array>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/AgentFileAccess.hpp"

namespace tarvel::GrokHookRouting {
namespace {

bool isClaudeCompatible(const AgentProvider& provider) {
  return provider == AgentProvider::claudeCode || provider == AgentProvider::cursor;
}

bool isRelayCommand(const Json& object) {
  const auto command = object.find("command");
  if (command == object.end() || !command->is_string()) {
    return false;
  }
  const std::string_view text = command->get_ref<const std::string&>();
  if (text.find("/.tarvel/bin/tarvel-hook") == std::string_view::npos) {
    return false;
  }
  constexpr std::array<std::string_view, 3> grokForms = {"--provider 'grok'", "--provider \"grok\"",
                                                         "--provider grok"};
  for (const std::string_view form : grokForms) {
    if (text.find(form) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool shouldSkipClaudeCompatibilityHook(bool grokHookEvent, const AgentProvider& configuredProvider,
                                       bool hasNativeRelay) {
  return grokHookEvent && isClaudeCompatible(configuredProvider) && hasNativeRelay;
}

AgentProvider resolvedProvider(const std::optional<AgentProvider>& explicitProvider,
                               bool grokHookEvent) {
  if (!explicitProvider) {
    return grokHookEvent ? AgentProvider::grok : AgentProvider::codex;
  }
  if (grokHookEvent && isClaudeCompatible(*explicitProvider)) {
    return AgentProvider::grok;
  }
  return *explicitProvider;
}

bool containsNativeRelay(const Json& value) {
  std::vector<const Json*> pending = {&value};
  while (!pending.empty()) {
    const Json* current = pending.back();
    pending.pop_back();
    if (current->is_object()) {
      if (isRelayCommand(*current)) {
        return true;
      }
      for (const auto& member : current->items()) {
        pending.push_back(&member.value());
      }
    } else if (current->is_array()) {
      for (const Json& element : *current) {
        pending.push_back(&element);
      }
    }
  }
  return false;
}

bool configurationContainsNativeRelay(const std::filesystem::path& configuration) {
  const auto bytes = AgentFileAccess::readSmallFile(configuration, std::nullopt);
  if (!bytes) {
    return false;
  }
  const auto parsed = Coding::parse(*bytes);
  if (!parsed || !parsed->is_object()) {
    return false;
  }
  const auto hooks = parsed->find("hooks");
  return hooks != parsed->end() && containsNativeRelay(*hooks);
}

}  // namespace tarvel::GrokHookRouting
