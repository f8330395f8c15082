#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/HookEventName.hpp"

namespace tarvel {

// A tool whose pre-tool hook asks the user something the agent reads back from the hook's answer.
enum class InteractiveTool {
  question,  // a multiple-choice question (Claude Code's AskUserQuestion)
  plan,      // a plan to approve before editing starts (Claude Code's ExitPlanMode)
};

struct InteractiveToolEntry {
  std::string_view name;        // as the agent names the tool
  std::string_view identifier;  // the tool identifier it compares by (lower case)
  InteractiveTool kind = InteractiveTool::question;
};

// How long the agent lets one hook entry run: the short limit of a hook that never waits, or the
// long one of a hook that holds the agent for the user's answer (above the 120 s reply wait).
enum class HookTimeLimit { passive, waiting };

// Which tools a hook entry is for, as its matcher in the agent's configuration says.
enum class ToolMatcher {
  none,         // no matcher: the agent's default (every tool, or an event without tools)
  all,          // "*"
  interactive,  // exactly the row's interactive tools ("A|B")
  others,       // every tool but the row's interactive ones
};

// One hook entry `tarvel install` writes into the agent's configuration.
struct HookEntry {
  std::string_view event;  // as the agent's configuration spells it
  ToolMatcher tools = ToolMatcher::none;
  HookTimeLimit limit = HookTimeLimit::passive;
  // A limit the agent imposes on this event, in seconds, overriding `limit`.
  std::optional<int> capSeconds;
};

// The unit the agent's configuration states hook limits in.
enum class HookTimeUnit { seconds, milliseconds };

// What the hook prints when it carries no decision back.
enum class PassiveAnswer {
  emptyObject,  // "{}"
  antigravity,  // Antigravity's own passive form for the event
};

// Everything Tarvel knows of one agent's hooks, in one row: which events it sends (and so which
// install hooks), which of them wait for the user, which tools are interactive, which decisions
// its hook answers can carry, the shape of a passive answer, and where its configuration lives.
struct AgentCapabilities {
  AgentProvider provider;
  std::string_view installName;        // `tarvel install --agent NAME`; empty: not installable
  std::string_view displayName;        // "Claude Code"
  std::string_view configurationFile;  // relative to the home folder
  HookTimeUnit timeUnit = HookTimeUnit::seconds;
  std::span<const HookEntry> hookEntries;
  // Events whose hook answer the agent reads as the user's decision.
  std::span<const HookEventName> decisionEvents;
  // Tools whose pre-tool hook asks the user and carries the answer back.
  std::span<const InteractiveToolEntry> interactiveTools;
  PassiveAnswer passiveAnswer = PassiveAnswer::emptyObject;
};

// The one table of agents. Adding an agent is a folder under Hooks/ with its policies and its
// row, and that row listed in AgentCapabilities.cpp.
namespace AgentCapabilityTable {

// Every known agent, installable ones first in the order `tarvel` lists them.
std::span<const AgentCapabilities* const> all();

// The row of `provider`; nullptr for an agent without one.
const AgentCapabilities* of(const AgentProvider& provider);

// The row whose install name is `name`; nullptr when none.
const AgentCapabilities* installable(std::string_view name);

// Which interactive tool `toolName` is for `provider` (compared by tool identifier).
std::optional<InteractiveTool> interactiveTool(const AgentProvider& provider,
                                               const std::optional<std::string>& toolName);

// Which interactive tool `toolName` is for any agent: for readers that see a payload without
// knowing its agent.
std::optional<InteractiveTool> interactiveToolOfAnyAgent(
    const std::optional<std::string>& toolName);

// Whether the hook of this payload can hold `provider`'s agent for the user and carry the answer
// back: a decision event of its row, or a pre-tool hook of one of its interactive tools.
bool carriesDecision(const AgentProvider& provider, const AgentHookPayload& payload);

// The matcher text of `entry` in the row's configuration; absent for ToolMatcher::none.
std::optional<std::string> matcherText(const AgentCapabilities& row, const HookEntry& entry);

}  // namespace AgentCapabilityTable

}  // namespace tarvel
