#include <algorithm>
#include <array>
#include <string>

#include "TarvelCore/Hooks/AgentDrivers.hpp"
#include "TarvelCore/Hooks/ProviderEventPolicy.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

// Commands Droid runs at any autonomy, as its default command allowlist names them.
constexpr std::array<std::string_view, 9> allowedCommands{
    "ls",      "pwd",      "dir",       "git status",   "git diff",
    "git log", "git show", "git blame", "git ls-files",
};

// Programs Droid always asks about, as its default command denylist names them, and its way of
// removing a tree.
constexpr std::array<std::string_view, 4> deniedPrograms{"mkfs", "dd", "shutdown", "reboot"};
constexpr std::string_view treeRemoval = "rm -rf";

// A rank of risk or autonomy: low 1, medium 2, high 3; 0 for anything else.
int rank(std::string_view level) {
  if (level.ends_with("low")) {
    return 1;
  }
  if (level.ends_with("medium")) {
    return 2;
  }
  if (level.ends_with("high")) {
    return 3;
  }
  return 0;
}

// Droid asks before a tool when the risk the model gave the call ("riskLevel": low, medium or
// high) is above the autonomy it runs with (permission_mode "auto-low", "auto-medium",
// "auto-high"), unless the command is on its allowlist; it always asks about what its denylist
// names. A call without a risk level asks only
// when it changes files and Droid runs with no autonomy at all.
bool droidWouldAsk(const AgentHookPayload& payload, const std::filesystem::path& /*home*/,
                   std::span<const std::string> /*agentArguments*/) {
  const int autonomy = rank(payload.permissionMode.value_or(""));
  const std::string* risk = ProviderEventPolicy::stringInputMember(payload, "riskLevel");
  if (risk == nullptr) {
    return autonomy == 0 && AgentCatalogue::isEditTool(payload.toolName.value_or(""));
  }
  if (const std::string* command = ProviderEventPolicy::stringInputMember(payload, "command")) {
    const std::string trimmed = Text::trimmed(*command);
    const std::string program = trimmed.substr(0, trimmed.find_first_of(" \t"));
    if (trimmed.find(treeRemoval) != std::string::npos ||
        std::find(deniedPrograms.begin(), deniedPrograms.end(), program) != deniedPrograms.end()) {
      return true;
    }
    for (const std::string_view allowed : allowedCommands) {
      if (trimmed == allowed) {
        return false;
      }
    }
  }
  return rank(*risk) > autonomy;
}

}  // namespace

constinit const AgentDriver AgentDrivers::droid{.id = "droid", .wouldAsk = droidWouldAsk};

}  // namespace tarvel
