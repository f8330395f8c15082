#include "Tools/tarvel/Commands.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "TarvelCore/Platform/Version.hpp"
#include "Tools/tarvel/Completions.hpp"
#include "Tools/tarvel/Configuration.hpp"
#include "Tools/tarvel/ContainerSetup.hpp"
#include "Tools/tarvel/Doctor.hpp"
#include "Tools/tarvel/InstallCommand.hpp"
#include "Tools/tarvel/LogCommand.hpp"
#include "Tools/tarvel/RemoteCommands.hpp"
#include "Tools/tarvel/ServiceCommands.hpp"
#include "Tools/tarvel/ServiceControl.hpp"

namespace tarvel::Commands {
namespace {

using CommandLine::Command;
using CommandLine::Invocation;

extern const Command helpCommand;
extern const Command completionsCommand;

constexpr std::array<const Command*, 15> table{
    &InstallCommand::install,
    &InstallCommand::uninstall,
    &ServiceCommands::serveCommand,
    &ServiceCommands::statusCommand,
    &LogCommand::command,
    &ServiceCommands::webCommand,
    &ServiceControl::stopCommand,
    &ServiceControl::restartCommand,
    &Configuration::command,
    &ServiceCommands::serviceCommand,
    &RemoteCommands::command,
    &ContainerSetup::command,
    &Doctor::command,
    &helpCommand,
    &completionsCommand,
};

bool isHelp(std::string_view argument) { return argument == "-h" || argument == "--help"; }

// The commands a person may ask about, with what each does.
std::vector<CommandLine::Word> commandWords() {
  std::vector<CommandLine::Word> words;
  for (const Command* command : table) {
    if (!command->hidden) {
      words.push_back(
          {.name = std::string(command->name), .meaning = std::string(command->summary)});
    }
  }
  return words;
}

std::string unknownCommand(std::string_view name) {
  return "tarvel: unknown command \"" + std::string(name) + "\"\n" + synopsis();
}

int runHelp(const Invocation& invocation) {
  if (invocation.reading.operands.empty()) {
    invocation.out << overview();
    return 0;
  }
  const Command* command = named(invocation.reading.operands.front());
  if (command == nullptr) {
    invocation.err << unknownCommand(invocation.reading.operands.front());
    return 2;
  }
  invocation.out << CommandLine::help(*command);
  return 0;
}

int runCompletions(const Invocation& invocation) {
  const std::string_view shell = invocation.reading.action->name;
  invocation.out << (shell == "bash"  ? Completions::bash(all())
                     : shell == "zsh" ? Completions::zsh(all())
                                      : Completions::manSynopsis(all()));
  return 0;
}

constexpr std::array commandOperand{
    CommandLine::Operand{.name = "COMMAND", .words = commandWords, .optional = true}};

constinit const Command helpCommand{
    .name = "help",
    .summary = "print the help of tarvel, or of one command",
    .help =
        "Prints what tarvel --help prints or, for a COMMAND, what tarvel COMMAND --help "
        "prints: its usage, what it does and its options.",
    .operands = commandOperand,
    .run = runHelp,
};

constexpr std::array completionActions{
    CommandLine::Action{.name = "bash", .help = "tarvel's part of the bash completion"},
    CommandLine::Action{.name = "zsh", .help = "tarvel's part of the zsh completion"},
    CommandLine::Action{.name = "man", .help = "the manual page's synopsis, in roff"},
};

// Run by the build, which puts the output into the installed completions and manual page.
constinit const Command completionsCommand{
    .name = "completions",
    .summary = "print completions made from the command table",
    .help =
        "Prints what the build installs: the completions of tarvel's commands, or the "
        "synopsis of its manual page, made from the table of its commands.",
    .actions = completionActions,
    .run = runCompletions,
    .hidden = true,
};

}  // namespace

std::span<const Command* const> all() { return table; }

const Command* named(std::string_view name) {
  const auto found = std::find_if(table.begin(), table.end(),
                                  [&](const Command* command) { return command->name == name; });
  return found == table.end() ? nullptr : *found;
}

std::string synopsis() {
  std::string text;
  for (const Command* command : table) {
    if (!command->hidden) {
      text += CommandLine::usageLines(*command, text.empty() ? "usage: " : "       ");
    }
  }
  return text + "       tarvel --version | --help\n";
}

std::string overview() {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const Command* command : table) {
    if (!command->hidden) {
      entries.emplace_back(std::string(command->name), std::string(command->summary));
    }
  }
  return synopsis() + "\n" +
         CommandLine::wrapped(
             "Shows what your coding agents are doing: each agent runs tarvel-hook at every "
             "step, the hook tells the service (tarvel serve), and displays (tarvel-island, the "
             "web page, tarvel status) show what the service knows.",
             CommandLine::helpWidth, 0) +
         "\n\n" + CommandLine::listing(entries) +
         "\ntarvel help COMMAND (or tarvel COMMAND --help) says what a command does and lists its "
         "options.\n";
}

int run(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& err) {
  if (arguments.empty()) {
    err << "tarvel: a command is needed\n" << synopsis();
    return 2;
  }
  if (arguments.size() == 1 && arguments[0] == "--version") {
    out << "tarvel " << version << "\n";
    return 0;
  }
  const auto rest = arguments.subspan(1);
  const bool helpAsked = std::any_of(rest.begin(), rest.end(), isHelp);
  const Command* command = named(arguments[0]);
  if (command == nullptr) {
    if (helpAsked || isHelp(arguments[0])) {
      out << overview();
      return 0;
    }
    err << unknownCommand(arguments[0]);
    return 2;
  }
  if (helpAsked) {
    out << CommandLine::help(*command);
    return 0;
  }
  const auto reading = CommandLine::read(*command, rest);
  if (!reading) {
    err << (command->refusal != nullptr ? command->refusal(reading.error())
                                        : "tarvel " + std::string(command->name) + ": " +
                                              CommandLine::problemWords(reading.error()) + "\n" +
                                              CommandLine::help(*command));
    return 2;
  }
  return command->run(Invocation{
      .command = *command, .arguments = rest, .reading = *reading, .out = out, .err = err});
}

}  // namespace tarvel::Commands
