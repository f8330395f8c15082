#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Tools/tarvel/AgentConfigurations.hpp"

// `tarvel install|uninstall --agent NAME [--dry-run]`: puts the hook relay in ~/.tarvel/bin and
// adds (or removes) our hook entries in one agent's configuration, keeping everything else.
// Thread: runs on the calling thread; for Codex it may run the Codex program for a few seconds.
namespace tarvel::Installer {

enum class Action { install, uninstall, help };

struct Options {
  Action action = Action::help;
  AgentConfigurations::Agent agent = AgentConfigurations::Agent::claudeCode;
  bool dryRun = false;
};

// What a run needs from its surroundings; tests pass their own.
struct Context {
  std::filesystem::path home;
  std::filesystem::path hookSource;  // the built tarvel-hook to copy
  std::filesystem::path workingDirectory;
  std::string searchPath;  // PATH, for finding the codex program
};

std::string usage();

// The options, or the message explaining what is wrong with the command line.
std::variant<Options, std::string> parseOptions(const std::vector<std::string_view>& arguments);

// Carries out one command. Reports go to `out`, problems to `err`. Returns the exit status: 0 on
// success, 1 when something was refused or failed (nothing is then left half-written).
int run(const Options& options, const Context& context, std::ostream& out, std::ostream& err);

// The context of this process: $HOME (else the password database), tarvel-hook beside the
// running executable, the current directory and $PATH.
std::optional<Context> currentContext(std::ostream& err);

}  // namespace tarvel::Installer
