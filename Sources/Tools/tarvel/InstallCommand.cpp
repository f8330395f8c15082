#include "Tools/tarvel/InstallCommand.hpp"

#include <array>
#include <filesystem>
#include <iostream>
#include <string>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"
#include "Tools/tarvel/AgentNames.hpp"
#include "Tools/tarvel/Configuration.hpp"
#include "Tools/tarvel/ContainerSetup.hpp"
#include "Tools/tarvel/Installer.hpp"

namespace tarvel::InstallCommand {
namespace {

using CommandLine::Invocation;
using CommandLine::Option;
using CommandLine::ReadProblem;

constexpr std::array options{
    Option{.name = "--agent",
           .value = "AGENT",
           .help = "the agent whose configuration to change",
           .words = AgentNames::installable,
           .showWords = true,
           .required = true,
           .missing = "--agent needs an agent name"},
    Option{.name = "--dry-run", .help = "print the file as it would be and write nothing"},
    Option{.name = "--force", .help = "also replace a configuration file that is read-only"},
    Option{.name = "--home",
           .value = "DIR",
           .help = "use DIR as the home folder, the one a container uses: the hooks then run the "
                   "tarvel-hook that tarvel container binds in",
           .missing = "--home needs a folder"},
};

// Both commands say "tarvel: " and show their whole help under a wrong command line.
std::string refusal(const ReadProblem& problem) {
  const std::string words = problem.kind == ReadProblem::Kind::unknownArgument
                                ? "unknown option \"" + problem.word + "\""
                                : CommandLine::problemWords(problem);
  return "tarvel: " + words + "\n" + CommandLine::help(*problem.command);
}

int run(const Invocation& invocation, Installer::Action action) {
  const auto wrong = [&](const std::string& problem) {
    invocation.err << "tarvel: " << problem << "\n" << CommandLine::help(invocation.command);
    return 2;
  };
  Installer::Options options{.action = action};
  bool hasAgent = false;
  // In the order given, so that the first wrong option is the one named.
  for (const auto& [option, value] : invocation.reading.options) {
    if (option->name == "--dry-run") {
      options.dryRun = true;
    } else if (option->name == "--force") {
      options.force = true;
    } else if (option->name == "--home") {
      if (value.empty()) {
        return wrong(std::string(option->missing));
      }
      options.containerHome = std::filesystem::absolute(std::string(value));
    } else if (option->name == "--agent") {
      const AgentRow* agent = AgentCatalogue::installable(value);
      if (!agent) {
        return wrong("unknown agent \"" + std::string(value) + "\" (choose " +
                     CommandLine::listed(AgentNames::installable()) + ")");
      }
      // One agent per run: a second --agent would otherwise silently replace the first.
      if (hasAgent) {
        return wrong("--agent given twice: run the command once for each agent");
      }
      options.agent = agent;
      hasAgent = true;
    }
  }
  if (!hasAgent) {
    return wrong("--agent is required");
  }
  auto context = Installer::currentContext(invocation.err);
  if (!context) {
    return 1;
  }
  context->holdSeconds = Configuration::holdSeconds();
  if (options.containerHome) {
    context->home = *options.containerHome;
    context->commandHome = std::filesystem::path(ContainerSetup::containerHome);
    context->agentFolders.clear();  // this machine's variables say nothing of the container
  }
  return Installer::run(options, *context, invocation.out, invocation.err);
}

}  // namespace

constinit const CommandLine::Command install{
    .name = "install",
    .summary = "add the tarvel hooks to an agent's configuration",
    .help =
        "Copies tarvel-hook to ~/.tarvel/bin and adds its hook entries to one agent's "
        "configuration; everything else in the file stays byte for byte, and the old file is "
        "kept beside it. For Codex it also records that Codex trusts the hooks. One agent per "
        "run.",
    .options = options,
    .run = [](const Invocation& invocation) { return run(invocation, Installer::Action::install); },
    .refusal = refusal,
};

constinit const CommandLine::Command uninstall{
    .name = "uninstall",
    .summary = "remove the tarvel hooks from an agent's configuration",
    .help =
        "Removes exactly the entries tarvel install added to one agent's configuration (for "
        "Codex, their trust entries too); every other byte of the file stays.",
    .options = options,
    .run =
        [](const Invocation& invocation) { return run(invocation, Installer::Action::uninstall); },
    .refusal = refusal,
};

}  // namespace tarvel::InstallCommand
