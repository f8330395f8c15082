#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentRow.hpp"

// The plugin file tarvel install writes for an agent that loads plugins rather than running hook
// commands (OpenCode, Kilo): an ES module, ours alone, that hands the events the agent's row
// names to the hook command and, for a permission the agent asks about, waits for the hook's
// answer and gives it to the agent through its client. It never holds or breaks the agent: every
// run of the hook is bounded, and whatever fails is dropped.
namespace tarvel::AgentPlugin {

// The file's first line, by which install and uninstall know the file as ours.
inline constexpr std::string_view firstLine =
    "// Written by tarvel install: it tells Tarvel what this agent does. tarvel uninstall "
    "removes it.";

// The whole plugin for `agent`, running `command` (the hook command, a shell command line); a
// permission waits for the hook up to `waitingSeconds`, any other event `passiveSeconds`.
std::string text(const AgentRow& agent, std::string_view command, int waitingSeconds,
                 int passiveSeconds);

// How long a plugin of ours lets the hook wait for an answer, in seconds, as written in `text`;
// absent when it does not say.
std::optional<int> waitingLimitSeconds(std::string_view text);

// Whether `text` is a plugin tarvel install wrote (of any version).
bool isOurs(std::string_view text);

}  // namespace tarvel::AgentPlugin
