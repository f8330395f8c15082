#pragma once

#include <optional>
#include <span>
#include <string_view>

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

// The agent's tools by what they do, as the agent names them. Tools are compared in lower case:
// edit tools by their identifier (the last "__" piece, so an MCP server's "edit" counts), shell
// tools by their whole name.
struct ToolVocabulary {
  std::span<const std::string_view> edit;   // change files: "Edit", "apply_patch", "write_file"
  std::span<const std::string_view> shell;  // run a command: "Bash", "run_shell_command"
  // Ask the user through the pre-tool hook, which carries the answer back.
  std::span<const InteractiveToolEntry> interactive;
};

// How long the agent lets one hook entry run: the short limit of a hook that never waits, or the
// long one of a hook that holds the agent for the user's answer (above the 120 s reply wait).
enum class HookTimeLimit { passive, waiting };

// The unit the agent's configuration states hook limits in.
enum class HookTimeUnit { seconds, milliseconds };

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

// The shape of the hooks in the agent's configuration file (a JSON object).
enum class HookFileFormat {
  // {"hooks": {"EVENT": [{"matcher": "A|B", "hooks": [{"type": "command", "command": "...",
  // "timeout": N}]}]}}: Claude Code's shape, which Codex and Gemini CLI share.
  matcherGroups,
  // {"version": 1, "hooks": {"EVENT": [{"command": "..."}]}}: Cursor's; no matchers, no limits.
  commandList,
  // {"hooks": {"EVENT": [{"type": "command", "bash": "...", "timeoutSec": N}]}}: GitHub Copilot
  // CLI's; no matchers.
  typedCommands,
  // A JavaScript module of ours alone in the agent's plugin folder, which the agent loads and
  // which runs the hook for the events the hook entries name (OpenCode's and Kilo's plugins). It
  // is written whole and removed whole.
  plugin,
};

// Where the agent reads its hooks from and how `tarvel install` writes ours there.
struct AgentConfiguration {
  std::string_view file;  // relative to the home folder ("~/.claude/settings.json")
  HookFileFormat format = HookFileFormat::matcherGroups;
  HookTimeUnit timeUnit = HookTimeUnit::seconds;
  // The hook command names the event ("--event NAME"), for an agent whose documents do not.
  bool eventOnCommandLine = false;
  // An environment variable that, set to an absolute path, moves the agent's folder (the first
  // folder of `file`) there ("COPILOT_HOME"); empty: none.
  std::string_view folderVariable;
};

// Who must approve a new hook before the agent runs it.
enum class HookTrust {
  none,            // the agent runs what its configuration lists
  codexAppServer,  // Codex: recorded as trusted in ~/.codex/config.toml, as its app-server says
};

// Where the agent's events fold into sessions differently from other agents'. Every field is the
// common case by default.
struct SessionHabits {
  // The agent's SessionStart opens no session: the hook reports none (the session begins with its
  // first prompt), and a restored session that holds nothing but such starts is dropped.
  bool startsOpenNoSession = false;
  // The agent reports a turn's end more than once: an idle notice ("idle_prompt") besides its
  // stop, and late stops of earlier turns (told apart by their prompt id). Only the first end of
  // the current turn counts.
  bool repeatsTurnEnds = false;
  // The hook reads the agent's workflow runs from its own files and reports their state; a
  // restored session's workflows are reconciled with the latest report.
  bool reportsWorkflows = false;
  // How prompts begin (lower case) with which the agent opens sessions of its own for
  // housekeeping, such as writing a commit message: such a session is an internal helper, never
  // listed.
  std::span<const std::string_view> helperPrompts;
};

// One agent: everything Tarvel's rooms know of it apart from how its hook documents are read and
// answered (the hook's driver in Hooks/<Agent>/). Rows are constants of the catalogue
// (AgentCatalogue.hpp), one file each under Agents/.
struct AgentRow {
  std::string_view id;           // its provider's raw value ("claude-code")
  std::string_view installName;  // `tarvel install --agent NAME`; empty: not installable
  // The agent's product name, the one every display, notification, page, log and message shows.
  std::string_view displayName;
  AgentConfiguration configuration;
  // The hooks `tarvel install` adds: every event whose document the hook turns into an activity
  // event, and no other (a hook the display ignores would still cost a process per event).
  std::span<const HookEntry> hookEntries;
  // Events whose hook answer the agent reads as the user's decision; none: it only reports.
  std::span<const HookEventName> decisionEvents;
  ToolVocabulary tools;
  SessionHabits sessions;
  HookTrust trust = HookTrust::none;
  // The agent shows its own dialog for a prompt while its hook still waits for our answer, so a
  // person at its terminal can answer there meanwhile (Claude Code). An agent that shows nothing
  // until the hook returns (Codex: "Running hook") keeps that person waiting as long as the hook
  // is held, so the service holds it for a phone only briefly.
  bool showsDialogWhileHookWaits = false;
  // The agent sends no permission request: its pre-tool hook's decision answers for the prompt
  // it would show (Factory Droid). The pre-tool hook then waits where the agent would ask, as its
  // driver judges.
  bool answersAtPreToolUse = false;
  // When its hook returns no decision (let go, or its time ran out), the agent asks the person
  // in its own dialog and waits there until they answer or dismiss it: Claude Code's dialog is
  // up already, Codex, Qwen Code and Copilot CLI draw theirs then. False: it goes on by its own
  // rules, and nobody is asked.
  bool asksInOwnDialogWithoutDecision = false;
  // What to start after installing, when it is not "a new <displayName> session".
  std::string_view startAdvice;

  AgentProvider provider() const { return AgentProvider(id); }
};

}  // namespace tarvel
