#include "Tools/tarvel-hook/HookRelay.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "TarvelCore/Hooks/AgentHookEventMapper.hpp"
#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Hooks/AgentReplyPromptBuilder.hpp"
#include "TarvelCore/Hooks/Grok/GrokHookRouting.hpp"
#include "TarvelCore/Hooks/ProviderDecisionMapper.hpp"
#include "TarvelCore/Hooks/ProviderHookEnricher.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/AgentOrigin.hpp"
#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Platform/HomeDirectory.hpp"
#include "TarvelCore/Sockets/AgentReplySocketLocation.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"
#include "TarvelCore/Sockets/UnixReplyClient.hpp"
#include "TarvelCore/Sockets/UnixSocketClient.hpp"

extern char** environ;  // NOLINT(readability-identifier-naming): the C library's name

namespace tarvel::HookRelay {
namespace {

constexpr std::string_view neutralAnswer = "{}\n";

std::string passiveAnswer(const AgentProvider& provider, const std::optional<std::string>& event) {
  std::string answer = ProviderDecisionMapper::passiveData(provider, event);
  if (!answer.ends_with('\n')) {
    answer.push_back('\n');
  }
  return answer;
}

// True when the event reached the display's socket. A display that is absent or busy must not
// change what the agent is told, so callers only use this to decide whether to keep waiting.
bool send(const AgentEvent& event, const Environment& environment) {
  return !UnixSocketClient::send(event, environment.eventSocket).has_value();
}

}  // namespace

Options parseOptions(std::span<const std::string_view> arguments) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--provider" && i + 1 < arguments.size()) {
      if (!arguments[i + 1].empty()) {
        options.provider = AgentProvider(arguments[i + 1]);
      }
      ++i;
    } else if (arguments[i] == "--event" && i + 1 < arguments.size()) {
      if (!arguments[i + 1].empty()) {
        options.event = std::string(arguments[i + 1]);
      }
      ++i;
    } else if (arguments[i] == "--grok-hook") {
      options.grokHookEvent = true;
    }
  }
  return options;
}

AgentProvider resolvedProvider(const Options& options) {
  return GrokHookRouting::resolvedProvider(options.provider, options.grokHookEvent);
}

bool runByGrok(const char* grokHookEvent) {
  return grokHookEvent != nullptr && *grokHookEvent != '\0';
}

bool standsDownForNativeRelay(const Options& options, const std::filesystem::path& home) {
  if (!options.provider ||
      !GrokHookRouting::shouldSkipClaudeCompatibilityHook(options.grokHookEvent, *options.provider,
                                                          true)) {
    return false;
  }
  const AgentRow* grok = AgentCatalogue::of(AgentProvider::grok);
  return grok != nullptr && GrokHookRouting::configurationContainsNativeRelay(
                                home / std::string(grok->configuration.file));
}

namespace {

// The name this program runs under, for recognising the shells that agents start it through.
std::string ownProgramName() {
  char target[4096];
  const ssize_t length = ::readlink("/proc/self/exe", target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
    return "tarvel-hook";
  }
  std::string path(target, static_cast<std::size_t>(length));
  // A relay replaced by a new install while it runs reads as "<path> (deleted)".
  constexpr std::string_view deleted = " (deleted)";
  if (path.ends_with(deleted)) {
    path.resize(path.size() - deleted.size());
  }
  return std::filesystem::path(path).filename().string();
}

// The command line of process `pid`, at most 64 KiB of it; empty when it cannot be read.
std::vector<std::string> commandLine(std::int32_t pid) {
  std::vector<std::string> arguments;
  if (pid <= 0) {
    return arguments;
  }
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string text(64 * 1024, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\0', start), text.size());
    arguments.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

}  // namespace

Environment currentEnvironment() {
  Environment environment{
      .eventSocket = AgentSocketLocation::defaultURL(),
      .replySocket = AgentReplySocketLocation::defaultURL(),
      .agentProcess = AgentProcessIdentity::agentProcess(static_cast<std::int32_t>(::getppid()),
                                                         ownProgramName())
                          .value_or(0),
      .waitSeconds = AgentReplyPolicy::longestHoldSeconds,
      .agentWatch = {.output = STDOUT_FILENO, .parent = static_cast<std::int32_t>(::getppid())},
  };
  environment.hostName = AgentOrigin::localHost();
  environment.agentArguments = commandLine(environment.agentProcess);
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string_view::npos && equals > 0) {
      environment.variables.emplace(std::string(text.substr(0, equals)),
                                    std::string(text.substr(equals + 1)));
    }
  }
  return environment;
}

std::string run(const std::optional<std::string>& input, const AgentProvider& provider,
                const std::optional<std::string>& commandLineEvent, const Environment& environment,
                Date now) {
  if (!input) {
    return passiveAnswer(provider, std::nullopt);
  }
  auto decoded = ProviderHookEnricher::decode(*input, provider, commandLineEvent);
  if (!decoded) {
    return passiveAnswer(provider, std::nullopt);
  }
  AgentHookPayload& received = *decoded;
  if (received.hookEventName.empty() && commandLineEvent) {
    received.hookEventName = *commandLineEvent;
  }
  const std::optional<std::string> eventName =
      received.hookEventName.empty() ? std::nullopt : std::optional(received.hookEventName);

  ProviderHookEnrichment enrichment = ProviderHookEnricher::enrich(received, provider, now);
  if (!ProviderHookEnricher::agentWouldAsk(enrichment.payload, provider, HomeDirectory::current(),
                                           environment.agentArguments)) {
    enrichment.permissionRequestRequiresUserInput = false;
  }
  const AgentHookPayload& payload = enrichment.payload;
  if (enrichment.workflowEvent) {
    send(*enrichment.workflowEvent, environment);
  }

  auto event = AgentHookEventMapper::map(payload, provider,
                                         enrichment.permissionRequestRequiresUserInput, now);
  if (!event) {
    return passiveAnswer(provider, eventName);
  }
  ProviderHookEnricher::applyPreferredTask(*event, enrichment);
  event->origin = AgentOrigin::captured(environment.variables, environment.agentProcess);
  if (!environment.hostName.empty()) {
    // Sessions of two machines stay apart at the display even when their paths are equal.
    if (!event->origin) {
      event->origin.emplace();
    }
    event->origin->host = environment.hostName;
  }

  std::optional<AgentPendingReply> prompt;
  if (AgentReplyPolicy::holdsAgent(provider, payload,
                                   enrichment.permissionRequestRequiresUserInput)) {
    prompt = AgentReplyPromptBuilder::make(payload, UUID::random());
  }
  if (!prompt || !AgentReplyPolicy::shouldAwaitReply(*prompt)) {
    // Shown, but nobody waits for it.
    event->pendingReply = prompt;
    send(*event, environment);
    return passiveAnswer(provider, eventName);
  }

  // The waiting event goes out only once the reply socket has the hook registered, so the
  // display never shows a prompt that nobody listens for. When that event cannot be delivered
  // (the display's event socket is gone or overrun), nobody will ever see the prompt: the hook
  // withdraws its registration and lets the agent ask for itself, as when no display runs.
  AgentEvent waiting = *event;
  waiting.pendingReply = prompt;
  bool registered = false;
  const auto reply = UnixReplyClient::awaitReply(prompt->replyId, environment.replySocket,
                                                 environment.waitSeconds, [&] {
                                                   registered = true;
                                                   return send(waiting, environment);
                                                 },
                                                 environment.agentWatch);
  if (!registered) {
    // No display listens for answers: report the step and let the agent ask for itself.
    send(*event, environment);
  }
  if (!reply) {
    return std::string(neutralAnswer);
  }
  std::string answer = ProviderDecisionMapper::data(provider, payload, *reply);
  if (!answer.ends_with('\n')) {
    answer.push_back('\n');
  }
  return answer;
}

}  // namespace tarvel::HookRelay
