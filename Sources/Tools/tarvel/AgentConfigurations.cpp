#include "Tools/tarvel/AgentConfigurations.hpp"

#include <array>

#include "TarvelCore/Models/AgentReplyPolicy.hpp"

namespace tarvel::AgentConfigurations {
namespace {

// One group of ours in an event list: the event, the tool matcher (absent: the agent's "all"),
// and the command's time limit in the unit the agent expects.
struct HookGroup {
  std::string_view event;
  std::optional<std::string_view> matcher;
  int timeout = passiveTimeoutSeconds;
};

constexpr std::string_view allTools = "*";

std::vector<HookGroup> groupsFor(Agent agent) {
  switch (agent) {
    case Agent::claudeCode:
      // Only AskUserQuestion and ExitPlanMode wait on PreToolUse; every other tool gets a
      // passive hook whose short limit never holds the agent.
      return {
          {.event = "SessionStart"},
          {.event = "UserPromptSubmit"},
          {.event = "PreToolUse",
           .matcher = AgentReplyPolicy::claudeInteractiveToolMatcher,
           .timeout = waitingTimeoutSeconds},
          {.event = "PreToolUse", .matcher = AgentReplyPolicy::claudePassiveToolMatcher},
          {.event = "PostToolUse", .matcher = allTools},
          {.event = "PostToolUseFailure", .matcher = allTools},
          {.event = "PermissionRequest", .matcher = allTools, .timeout = waitingTimeoutSeconds},
          {.event = "Notification"},
          {.event = "Stop"},
          {.event = "StopFailure"},
          {.event = "SubagentStart"},
          {.event = "SubagentStop"},
          {.event = "PreCompact"},
          {.event = "SessionEnd"},
          {.event = "Elicitation", .timeout = waitingTimeoutSeconds},
      };
    case Agent::codex:
      // Codex can carry an answer back only from PermissionRequest; nothing else waits.
      return {
          {.event = "SessionStart"},
          {.event = "UserPromptSubmit"},
          {.event = "PreToolUse", .matcher = allTools},
          {.event = "PermissionRequest", .matcher = allTools, .timeout = waitingTimeoutSeconds},
          {.event = "PostToolUse", .matcher = allTools},
          {.event = "SubagentStart"},
          {.event = "SubagentStop"},
          {.event = "Stop"},
          // Codex clamps a SessionEnd hook to 3 s and warns about any longer limit.
          {.event = "SessionEnd", .timeout = 3},
      };
    case Agent::geminiCLI: {
      // Gemini's limits are in milliseconds; an absent matcher matches every tool.
      constexpr int timeout = passiveTimeoutSeconds * 1000;
      return {
          {.event = "SessionStart", .timeout = timeout},
          {.event = "BeforeAgent", .timeout = timeout},
          {.event = "BeforeTool", .timeout = timeout},
          {.event = "AfterTool", .timeout = timeout},
          {.event = "AfterAgent", .timeout = timeout},
          {.event = "Notification", .timeout = timeout},
          {.event = "PreCompress", .timeout = timeout},
          {.event = "SessionEnd", .timeout = timeout},
      };
    }
    case Agent::cursor:
      return {
          {.event = "beforeSubmitPrompt"},
          {.event = "beforeShellExecution"},
          {.event = "beforeMCPExecution"},
          {.event = "afterFileEdit"},
          {.event = "stop"},
      };
  }
  return {};
}

bool isPlainPathCharacter(char character) {
  return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
         (character >= '0' && character <= '9') || character == '/' || character == '.' ||
         character == '_' || character == '-' || character == '+' || character == ',' ||
         character == '@' || character == ':';
}

std::string shellQuoted(std::string_view text) {
  for (const char character : text) {
    if (!isPlainPathCharacter(character)) {
      std::string quoted = "'";
      for (const char each : text) {
        if (each == '\'') {
          quoted += "'\\''";
        } else {
          quoted += each;
        }
      }
      return quoted + "'";
    }
  }
  return std::string(text);
}

// Removes our entries from one event list. Claude-shaped lists hold groups with a "hooks" array;
// Cursor's hold the entries themselves. A group left without hooks by the removal goes too.
void removeOurs(Document& list) {
  Document kept = Document::array();
  for (auto& element : list) {
    if (isOurEntry(element)) {
      continue;
    }
    if (element.is_object()) {
      const auto hooks = element.find("hooks");
      if (hooks != element.end() && hooks->is_array()) {
        Document remaining = Document::array();
        bool removedAny = false;
        for (auto& hook : *hooks) {
          if (isOurEntry(hook)) {
            removedAny = true;
          } else {
            remaining.push_back(std::move(hook));
          }
        }
        if (removedAny && remaining.empty()) {
          continue;
        }
        *hooks = std::move(remaining);
      }
    }
    kept.push_back(std::move(element));
  }
  list = std::move(kept);
}

}  // namespace

std::optional<Agent> agentNamed(std::string_view name) {
  constexpr std::array agents{Agent::claudeCode, Agent::codex, Agent::geminiCLI, Agent::cursor};
  for (const Agent agent : agents) {
    if (agentName(agent) == name) {
      return agent;
    }
  }
  return std::nullopt;
}

std::string_view agentName(Agent agent) {
  switch (agent) {
    case Agent::claudeCode:
      return "claude-code";
    case Agent::codex:
      return "codex";
    case Agent::geminiCLI:
      return "gemini-cli";
    case Agent::cursor:
      return "cursor";
  }
  return "";
}

std::string_view agentDisplayName(Agent agent) {
  switch (agent) {
    case Agent::claudeCode:
      return "Claude Code";
    case Agent::codex:
      return "Codex";
    case Agent::geminiCLI:
      return "Gemini CLI";
    case Agent::cursor:
      return "Cursor";
  }
  return "";
}

std::filesystem::path configurationPath(Agent agent, const std::filesystem::path& home) {
  switch (agent) {
    case Agent::claudeCode:
      return home / ".claude" / "settings.json";
    case Agent::codex:
      return home / ".codex" / "hooks.json";
    case Agent::geminiCLI:
      return home / ".gemini" / "settings.json";
    case Agent::cursor:
      return home / ".cursor" / "hooks.json";
  }
  return {};
}

std::string hookCommand(Agent agent, const std::filesystem::path& home) {
  const auto relay = home / ".tarvel" / "bin" / "tarvel-hook";
  return shellQuoted(relay.string()) + " --provider " + std::string(agentName(agent));
}

bool isOurEntry(const Document& entry) {
  if (!entry.is_object()) {
    return false;
  }
  const auto command = entry.find("command");
  return command != entry.end() && command->is_string() &&
         command->get_ref<const std::string&>().find(hookMarker) != std::string::npos;
}

std::optional<std::string> shapeProblem(Agent agent, const Document& document) {
  if (!document.is_object()) {
    return "the top level is not a JSON object";
  }
  if (agent == Agent::cursor) {
    const auto version = document.find("version");
    if (version != document.end() && *version != 1) {
      return "its \"version\" is not 1";
    }
  }
  const auto hooks = document.find("hooks");
  if (hooks == document.end()) {
    return std::nullopt;
  }
  if (!hooks->is_object()) {
    return "its \"hooks\" member is not an object";
  }
  for (const auto& group : groupsFor(agent)) {
    const auto list = hooks->find(std::string(group.event));
    if (list != hooks->end() && !list->is_array()) {
      return "its \"hooks\" entry for " + std::string(group.event) + " is not an array";
    }
  }
  return std::nullopt;
}

Document withoutOurEntries(Document document) {
  const auto hooks = document.find("hooks");
  if (hooks == document.end() || !hooks->is_object()) {
    return document;
  }
  std::vector<std::string> emptied;
  for (auto& [event, list] : hooks->items()) {
    if (!list.is_array() || list.empty()) {
      continue;
    }
    removeOurs(list);
    if (list.empty()) {
      emptied.push_back(event);
    }
  }
  for (const auto& event : emptied) {
    hooks->erase(event);
  }
  if (!emptied.empty() && hooks->empty()) {
    document.erase("hooks");
  }
  return document;
}

Document withOurEntries(Agent agent, Document document, std::string_view command) {
  document = withoutOurEntries(std::move(document));
  if (agent == Agent::cursor && !document.contains("version")) {
    document["version"] = 1;
  }
  auto& hooks = document["hooks"];
  if (hooks.is_null()) {
    hooks = Document::object();
  }
  for (const auto& group : groupsFor(agent)) {
    auto& list = hooks[std::string(group.event)];
    if (list.is_null()) {
      list = Document::array();
    }
    if (agent == Agent::cursor) {
      list.push_back(Document{{"command", command}});
      continue;
    }
    Document entry = Document::object();
    if (group.matcher) {
      entry["matcher"] = *group.matcher;
    }
    entry["hooks"] = Document::array(
        {Document{{"type", "command"}, {"command", command}, {"timeout", group.timeout}}});
    list.push_back(std::move(entry));
  }
  return document;
}

std::vector<std::string> hookedEvents(Agent agent) {
  std::vector<std::string> events;
  for (const auto& group : groupsFor(agent)) {
    if (events.empty() || events.back() != group.event) {
      events.emplace_back(group.event);
    }
  }
  return events;
}

}  // namespace tarvel::AgentConfigurations
