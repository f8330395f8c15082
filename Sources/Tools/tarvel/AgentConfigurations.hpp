#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

// The hook entries tarvel writes into each agent's own configuration file, and the pure merge and
// removal of those entries. Documents keep their key order (ordered_json) so that a user's file
// changes only where our entries go.
namespace tarvel::AgentConfigurations {

using Document = nlohmann::ordered_json;

// The part of a command that marks an entry as ours.
inline constexpr std::string_view hookMarker = "/.tarvel/bin/tarvel-hook";
// Hooks that hold the agent for the user's answer need a limit above the reply wait (120 s).
inline constexpr int waitingTimeoutSeconds = 130;
inline constexpr int passiveTimeoutSeconds = 5;

enum class Agent { claudeCode, codex, geminiCLI, cursor };

// "claude-code", "codex", "gemini-cli", "cursor"; anything else is absent.
std::optional<Agent> agentNamed(std::string_view name);
std::string_view agentName(Agent agent);
std::string_view agentDisplayName(Agent agent);

// The agent's configuration file under `home`.
std::filesystem::path configurationPath(Agent agent, const std::filesystem::path& home);

// The shell command an agent runs: the installed relay with the agent's provider, the path
// single-quoted when it holds anything but plain path characters.
std::string hookCommand(Agent agent, const std::filesystem::path& home);

// Whether a JSON value is a hook entry of ours: an object whose "command" string holds the marker.
bool isOurEntry(const Document& entry);

// Why a document cannot be edited safely ("hooks" is not an object, ...), or absent when it can.
std::optional<std::string> shapeProblem(Agent agent, const Document& document);

// The document without any of our entries. Event lists and the "hooks" object that only our
// entries filled are removed; everything else stays as it was, in its order. The document must
// have passed shapeProblem.
Document withoutOurEntries(Document document);

// The document with our entries for `agent` replacing any earlier ones of ours; user entries keep
// their place and ours come last in each event list. The document must have passed shapeProblem.
Document withOurEntries(Agent agent, Document document, std::string_view command);

// Event names this installation hooks for the agent, in the order written.
std::vector<std::string> hookedEvents(Agent agent);

}  // namespace tarvel::AgentConfigurations
