// tarvel-hook: the hook command that agents run at every step. It reports the step to the
// display, holds the agent at a prompt the display can answer, and always exits 0.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/BoundedInput.hpp"
#include "TarvelCore/Platform/HomeDirectory.hpp"
#include "TarvelCore/Platform/Version.hpp"
#include "TarvelCore/Platform/WriteAll.hpp"
#include "Tools/tarvel-hook/HookRelay.hpp"

namespace {

// The usage, with the agents tarvel install sets up as the catalogue lists them.
std::string usage() {
  std::string text =
      "usage: tarvel-hook [--provider NAME] [--event NAME]\n"
      "  The hook command agents run at each step; tarvel install adds it to their "
      "configuration.\n"
      "  Reads the agent's hook document on standard input, reports the step to tarvel serve\n"
      "  (~/.tarvel/agent.sock), holds a permission request or question until it is answered\n"
      "  (~/.tarvel/reply.sock, at most 120 s) and prints the agent's hook answer. Always exits "
      "0.\n"
      "  --provider NAME  the agent:";
  std::string_view separator = " ";
  for (const tarvel::AgentRow* row : tarvel::AgentCatalogue::all()) {
    if (!row->installName.empty()) {
      text += std::string(separator) + std::string(row->installName);
      if (row->provider() == tarvel::AgentProvider::codex) {
        text += " (the default)";
      }
      separator = ", ";
    }
  }
  return text +
         "\n"
         "  --event NAME     the event the document is for, when the agent's documents do not "
         "say\n";
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (tarvel::answeredVersionOrHelp(argc, argv, "tarvel-hook", usage())) {
    return 0;
  }
  std::string answer = "{}\n";
  try {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto options = tarvel::HookRelay::parseOptions(arguments);
    if (tarvel::HookRelay::runByGrok(std::getenv("GROK_HOOK_EVENT"))) {
      options.grokHookEvent = true;
    }
    const auto input = tarvel::BoundedInput::read(STDIN_FILENO, {});
    // Grok reports this event through our own hook of its file: this one says nothing, so that
    // one Grok session shows once. The document is read all the same, so Grok's write succeeds.
    if (tarvel::HookRelay::standsDownForNativeRelay(options, tarvel::HomeDirectory::current())) {
      return 0;
    }
    const auto provider = tarvel::HookRelay::resolvedProvider(options);
    answer = tarvel::HookRelay::run(input, provider, options.event,
                                    tarvel::HookRelay::currentEnvironment(), tarvel::Dates::now());
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing may reach the agent
    answer = "{}\n";
  }
  tarvel::writeAll(STDOUT_FILENO, answer);  // a closed output is the agent's business
  return 0;
}
