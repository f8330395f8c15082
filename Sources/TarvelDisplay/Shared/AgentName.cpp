#include "TarvelDisplay/Shared/AgentName.hpp"

namespace tarvel::Display {

std::string agentName(const AgentProvider& provider) {
  if (provider == AgentProvider::claudeCode) {
    return "Claude Code";
  }
  if (provider == AgentProvider::geminiCLI) {
    return "Gemini CLI";
  }
  return provider.displayName();
}

}  // namespace tarvel::Display
