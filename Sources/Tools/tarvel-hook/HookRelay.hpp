#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Sockets/UnixReplyClient.hpp"

// tarvel-hook's work: the general hook relay that every agent runs. It decodes the hook
// document, enriches it with provider facts, maps it to an activity event, sends that to the
// display, and — for a permission request or question the display can answer — holds the agent
// until the user answers, then prints the agent's own hook answer. Single-threaded; nothing it
// meets is reported on standard error, and every failure ends in the neutral answer.
namespace tarvel::HookRelay {

// What the relay was started with.
struct Options {
  std::optional<AgentProvider> provider;  // "--provider NAME", lower-cased
  // Run by Grok's hook runner: "--grok-hook", or GROK_HOOK_EVENT set (see runByGrok).
  bool grokHookEvent = false;
  // "--event NAME": the event, for an agent whose documents do not name it.
  std::optional<std::string> event;
};

// Parses "--provider NAME", "--event NAME" and "--grok-hook"; unknown arguments are ignored so that a newer
// configuration never breaks an older relay.
Options parseOptions(std::span<const std::string_view> arguments);

// The provider an invocation belongs to: the explicit one, with Grok's rules for hooks that
// Grok fires.
AgentProvider resolvedProvider(const Options& options);

// Whether Grok runs this hook: it sets GROK_HOOK_EVENT (the event's name) for every hook it runs,
// its own and the Claude Code and Cursor hooks it also reads, and never for the tools it runs.
bool runByGrok(const char* grokHookEvent);

// Whether this invocation must do nothing at all: Grok runs a hook configured for Claude Code or
// Cursor while Grok's own hook file under `home` holds ours, which reports the same event. Reads
// that one small file, and only in that case.
bool standsDownForNativeRelay(const Options& options, const std::filesystem::path& home);

// Where the relay sends and listens; tests point these at their own display.
struct Environment {
  std::filesystem::path eventSocket;
  std::filesystem::path replySocket;
  std::map<std::string, std::string> variables;  // the agent's environment, for its origin
  std::int32_t agentProcess = 0;  // the agent: the parent, past shells that only run the relay
  std::vector<std::string> agentArguments;  // the agent's command line, when it could be read
  std::int64_t waitSeconds = 120;
  std::string hostName;  // this machine's name, recorded in the event's origin when not empty
  // Stops the wait when the agent is gone (its end of the output closed, or the relay adopted).
  UnixReplyClient::AgentWatch agentWatch;
};

// The environment of a real invocation: the default sockets, the process environment, the host
// name and the agent process (see AgentProcessIdentity::agentProcess; 0 when it cannot be told).
Environment currentEnvironment();

// Runs the relay on the document `input` (absent when it could not be read in time) and returns
// what to print on standard output, line feed included. `commandLineEvent` names the event when
// the document does not. Never throws beyond allocation.
std::string run(const std::optional<std::string>& input, const AgentProvider& provider,
                const std::optional<std::string>& commandLineEvent, const Environment& environment,
                Date now);

}  // namespace tarvel::HookRelay
