#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Models/AgentRow.hpp"
#include "TarvelCore/Platform/Result.hpp"

// The hook entries tarvel writes into each agent's own configuration file, as the agent's row
// describes them (its file, format, events and time unit), and the pure merge and removal of
// those entries, done on the file's text so that a user's file changes only where our entries go.
namespace tarvel::AgentConfigurations {

using Document = nlohmann::ordered_json;

// Hooks that hold the agent for the user's answer need a limit above the service's hold
// (hold_seconds): the agent must not end the hook while the service still holds its prompt.
inline constexpr int holdMarginSeconds = 10;
inline constexpr int passiveTimeoutSeconds = 5;
constexpr int waitingTimeoutSeconds(int holdSeconds) { return holdSeconds + holdMarginSeconds; }

// The agent's configuration file under `home`, or in the folder its row's variable names when
// `variables` (the environment's, for this machine's own home) sets it to an absolute path.
std::filesystem::path configurationPath(const AgentRow& agent, const std::filesystem::path& home,
                                        const std::map<std::string, std::string>& variables = {});

// ~/.tarvel/bin/tarvel-hook under `home`: where install copies the relay.
std::filesystem::path relayPath(const std::filesystem::path& home);

// The shell command an agent runs: the installed relay with the agent's provider, the path
// single-quoted when it holds anything but plain path characters. An agent whose documents do
// not name their event gets it added per entry ("--event NAME").
std::string hookCommand(const AgentRow& agent, const std::filesystem::path& home);

// Why a configuration cannot be edited safely, as a phrase that follows the file's name.
struct EditProblem {
  std::string reason;
};

// Whether a JSON value is a hook entry of ours: an object whose "command" (GitHub Copilot CLI:
// "bash") is exactly `command`,
// or `command` with the event it is for ("--event NAME"); a user's command that merely mentions
// the relay's path is theirs.
bool isOurEntry(const Document& entry, std::string_view command);

// The configuration `text` without our entries (see isOurEntry). Event lists and the "hooks"
// object that only our entries filled are removed; every other byte stays as it was. Or why the
// text cannot be edited safely ("is not valid JSON (line 3, column 7)", "has the key \"hooks\"
// twice", ...).
Result<std::string, EditProblem> withoutOurEntries(const AgentRow& agent, std::string_view text,
                                                   std::string_view command);

// The configuration `text` with our entries for `agent` replacing any earlier ones of ours:
// user entries keep their place and ours come last in each event list, written in the file's
// own indentation; every byte outside them stays as it was. Whitespace-only text counts as an
// empty object. Failures as for withoutOurEntries.
// `holdSeconds`: the service's hold, which the waiting hooks' limits are set above.
Result<std::string, EditProblem> withOurEntries(const AgentRow& agent, std::string_view text,
                                                std::string_view command,
                                                int holdSeconds = AgentReplyPolicy::waitSeconds);

// The shortest limit, in seconds, the agent gives a waiting hook of ours in `text` (one whose
// limit is longer than a passive hook's); absent when there is none or the text is not JSON.
std::optional<int> shortestWaitingLimit(const AgentRow& agent, std::string_view text,
                                        std::string_view command);

// Event names this installation hooks for the agent, in the order written.
std::vector<std::string> hookedEvents(const AgentRow& agent);

}  // namespace tarvel::AgentConfigurations
