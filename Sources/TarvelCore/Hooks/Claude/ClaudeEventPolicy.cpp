#include "TarvelCore/Hooks/Claude/ClaudeEventPolicy.hpp"

#include "TarvelCore/Hooks/ProviderEventPolicy.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::ClaudeEventPolicy {

bool isInteractiveTool(const std::optional<std::string>& toolName) {
  return AgentCatalogue::interactiveTool(AgentProvider::claudeCode, toolName).has_value();
}

std::string interactiveToolActivity(const AgentHookPayload& payload) {
  const auto tool = AgentCatalogue::interactiveTool(AgentProvider::claudeCode, payload.toolName);
  if (!tool) {
    return "Needs approval";
  }
  return *tool == InteractiveTool::plan ? "Needs plan approval"
                                        : ProviderEventPolicy::questionActivity(payload);
}

std::string approvalActivity(const AgentHookPayload& payload) {
  if (!payload.toolName) {
    return "Needs approval";
  }
  const std::string identifier = ProviderEventPolicy::toolIdentifier(*payload.toolName);
  if (identifier == "bash" || AgentCatalogue::isShellTool(*payload.toolName)) {
    return "Needs command approval";
  }
  if (identifier == "apply_patch" || identifier == "edit" || identifier == "write") {
    return "Needs edit approval";
  }
  if (const auto tool =
          AgentCatalogue::interactiveTool(AgentProvider::claudeCode, payload.toolName)) {
    return *tool == InteractiveTool::plan ? "Needs plan approval" : "Needs an answer";
  }
  return "Needs approval for " + ProviderEventPolicy::displayTool(*payload.toolName);
}

bool isWaitingNotification(const std::optional<std::string>& type) {
  if (!type) {
    return false;
  }
  const std::string normalized = Text::normalizedWord(*type);
  return normalized == "permission_prompt" || normalized == "agent_needs_input" ||
         normalized == "elicitation_dialog" || normalized == "elicitation_url_dialog" ||
         normalized == "toolpermission" || normalized == "tool_permission";
}

std::string waitingNotificationActivity(const std::optional<std::string>& type,
                                        const std::optional<std::string>& message) {
  if (const auto text = nonEmpty(message)) {
    return ProviderEventPolicy::concise(*text, 90);
  }
  if (!type) {
    return "Waiting for input";
  }
  const std::string normalized = Text::normalizedWord(*type);
  if (normalized == "permission_prompt" || normalized == "elicitation_dialog" ||
      normalized == "elicitation_url_dialog" || normalized == "toolpermission" ||
      normalized == "tool_permission") {
    return "Needs approval";
  }
  return "Waiting for input";
}

}  // namespace tarvel::ClaudeEventPolicy
