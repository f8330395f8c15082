#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "TarvelCore/Hooks/AgentDrivers.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

// Programs GitHub Copilot CLI runs without asking when they are the whole command: they only
// read. A command not listed is held, and one Copilot would run anyway then waits for an answer
// it did not need; a listed one Copilot does ask about shows its own dialog. Neither runs
// anything the user did not allow.
constexpr std::array<std::string_view, 8> readOnlyPrograms{"ls",   "pwd",  "cat", "head",
                                                           "tail", "echo", "wc",  "grep"};

// Characters that make a command more than one simple program run.
constexpr std::string_view compoundCharacters = ";&|<>`$(){}\n\\";

// The options that make Copilot allow every tool without asking.
constexpr std::array<std::string_view, 3> allowingEverything{"--allow-all-tools", "--allow-all",
                                                             "--yolo"};

std::string firstWord(std::string_view command) {
  const std::string trimmed = Text::trimmed(command);
  return trimmed.substr(0, trimmed.find_first_of(" \t"));
}

// The values of `--allow-tool VALUE` and `--allow-tool=VALUE` on the agent's command line.
std::vector<std::string> allowedTools(std::span<const std::string> arguments) {
  std::vector<std::string> values;
  constexpr std::string_view option = "--allow-tool";
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == option && index + 1 < arguments.size()) {
      values.push_back(arguments[++index]);
    } else if (argument.starts_with(std::string(option) + "=")) {
      values.push_back(argument.substr(option.size() + 1));
    }
  }
  return values;
}

// Whether an allowed-tool pattern ("shell", "shell(touch)", "write") covers the call.
bool patternCovers(std::string_view pattern, bool shell, const std::string& program) {
  if (shell) {
    return pattern == "shell" || pattern == "shell(" + program + ")" ||
           pattern == "shell(" + program + ":*)";
  }
  return pattern == "write";
}

// The commands the user told Copilot not to ask about again in this folder ("Yes, and don't ask
// again"), as ~/.copilot/permissions-config.json keeps them.
bool approvedForFolder(const std::filesystem::path& file, const std::string& folder,
                       const std::string& program) {
  // The hook runs in Copilot's path: a file of more than 1 MiB is not read (it approves nothing).
  constexpr std::size_t limit = 1 << 20;
  std::ifstream input(file, std::ios::binary);
  if (!input) {
    return false;
  }
  std::string text(limit + 1, '\0');
  input.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (static_cast<std::size_t>(input.gcount()) > limit) {
    return false;
  }
  text.resize(static_cast<std::size_t>(input.gcount()));
  try {
    const Json document = Json::parse(text);
    const Json& location = document.at("locations").at(folder);
    for (const Json& approval : location.at("tool_approvals")) {
      if (approval.value("kind", "") != "commands") {
        continue;
      }
      for (const Json& identifier : approval.value("commandIdentifiers", Json::array())) {
        if (identifier.is_string() && identifier.get_ref<const std::string&>() == program) {
          return true;
        }
      }
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): an unreadable file approves nothing
  }
  return false;
}

// Copilot sends permissionRequest for every tool call, before its own rules decide, in the same
// shape whether or not it would then ask. Tarvel holds the calls that change something (a shell
// command other than a read-only program, a file edit) unless the agent's command line or the
// folder's saved approvals already allow them; every other call goes on to Copilot's own rules.
bool copilotWouldAsk(const AgentHookPayload& payload, const std::filesystem::path& home,
                     std::span<const std::string> agentArguments) {
  if (std::any_of(agentArguments.begin(), agentArguments.end(), [](const std::string& argument) {
        return std::find(allowingEverything.begin(), allowingEverything.end(), argument) !=
               allowingEverything.end();
      })) {
    return false;
  }
  const std::string tool = payload.toolName.value_or("");
  const bool shell = AgentCatalogue::isShellTool(tool);
  if (!shell && !AgentCatalogue::isEditTool(tool)) {
    return false;
  }
  std::string program;
  if (shell) {
    const JSONValue* value = payload.toolInput ? (*payload.toolInput)["command"] : nullptr;
    const std::string* command = value != nullptr ? value->stringValue() : nullptr;
    if (command == nullptr) {
      return true;
    }
    program = firstWord(*command);
    const bool simple = command->find_first_of(compoundCharacters) == std::string::npos;
    if (simple && std::find(readOnlyPrograms.begin(), readOnlyPrograms.end(), program) !=
                      readOnlyPrograms.end()) {
      return false;
    }
  }
  for (const std::string& pattern : allowedTools(agentArguments)) {
    if (patternCovers(pattern, shell, program)) {
      return false;
    }
  }
  const char* variable = std::getenv("COPILOT_HOME");  // NOLINT(concurrency-mt-unsafe)
  const std::filesystem::path folder =
      variable != nullptr && variable[0] == '/' ? std::filesystem::path(variable) : home / ".copilot";
  return !(shell && approvedForFolder(folder / "permissions-config.json", payload.cwd, program));
}

// Copilot's sub-agents send their prompt and stop with the sub-agent's id as the session id:
// they belong to the parent's session, under the sub-agent's id, as its start does.
ProviderHookEnrichment enrichCopilot(const AgentHookPayload& payload, Date /*now*/,
                                     const std::filesystem::path& /*home*/) {
  ProviderHookEnrichment enrichment{.payload = payload};
  if (payload.agentId && payload.parentSessionId && payload.sessionId == *payload.agentId) {
    enrichment.payload.sessionId = *payload.parentSessionId;
  }
  return enrichment;
}

// Copilot reads the decision itself, not nested as Claude Code's.
Json copilotPermissionAnswer(Json decision) { return decision; }

}  // namespace

constinit const AgentDriver AgentDrivers::copilot{.id = "copilot",
                                                  .enrich = enrichCopilot,
                                                  .wouldAsk = copilotWouldAsk,
                                                  .permissionAnswer = copilotPermissionAnswer};

}  // namespace tarvel
