#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"
#include "Tools/tarvel/CodexHookTrust.hpp"

// What `tarvel install|uninstall --agent NAME` does (InstallCommand.hpp reads the command line):
// puts the hook relay in ~/.tarvel/bin and adds (or removes) our hook entries in one agent's
// configuration, keeping everything else.
// Thread: runs on the calling thread; for Codex it may run the Codex program for a few seconds
// (each time at most Context::codexDeadline, said on the output before it starts).
namespace tarvel::Installer {

enum class Action { install, uninstall };

struct Options {
  Action action = Action::install;
  const AgentRow* agent = nullptr;  // the agent's row in the catalogue; required
  bool dryRun = false;
  bool force = false;  // replace a read-only configuration file too
  // "--home DIR": the home folder of a container instead of the user's (see ContainerSetup.hpp).
  std::optional<std::filesystem::path> containerHome;
};

// What a run needs from its surroundings; tests pass their own.
struct Context {
  std::filesystem::path home;
  std::filesystem::path hookSource;  // the built tarvel-hook to copy
  std::filesystem::path workingDirectory;
  std::string searchPath;  // PATH, for finding the codex program
  std::chrono::milliseconds codexDeadline = CodexHookTrust::answerDeadline;
  // For a container's home: the home the hook commands name the relay under (the container's
  // Tarvel folder); the relay is then not copied, the container gets it by a bind mount.
  std::optional<std::filesystem::path> commandHome;
  // The environment variables that move agents' folders ("COPILOT_HOME"), as set for this run;
  // none for a container's home.
  std::map<std::string, std::string> agentFolders;
  // How long the service holds a prompt (hold_seconds): waiting hooks get a longer limit.
  int holdSeconds = AgentReplyPolicy::waitSeconds;
};

// Carries out one command. Reports go to `out`, problems to `err`. Returns the exit status: 0 on
// success, 1 when something was refused or failed (nothing is then left half-written). Refuses
// without writing: a path that is not a regular file (never opened for reading when it is a FIFO
// or device), a symbolic link to nothing, a file that is not strict JSON or nests too deeply,
// and, unless `force`, a read-only file.
int run(const Options& options, const Context& context, std::ostream& out, std::ostream& err);

// How one agent's configuration stands against what `install` would write. Reads only.
struct ConfigurationCheck {
  enum class Hooks { none, partial, current };
  std::filesystem::path path;  // where the agent reads it (a link, when it is one)
  bool exists = false;
  // current: install would change nothing; partial: some of our entries are there, or all are
  // but install would still rewrite them (an older installation); none: no entry of ours.
  Hooks hooks = Hooks::none;
  // Why the file cannot be read or edited, as install would refuse it; `hooks` is then none.
  std::optional<std::string> problem;
  // The shortest limit, in seconds, the file gives a waiting hook of ours.
  std::optional<int> waitingLimitSeconds;
};
ConfigurationCheck checkConfiguration(const AgentRow& agent, const Context& context);

// How the installed relay compares with the one install copies (Context::hookSource).
enum class RelayCheck { current, missing, different, notExecutable };

// Reads both programs whole; the reason when the source or the installed relay cannot be read.
Result<RelayCheck, std::string> checkRelay(const Context& context);

// Whether Codex trusts our hooks, as its app-server lists them (at most Context::codexDeadline).
enum class CodexTrust { trusted, untrusted, notListed, codexNotFound, noAnswer };
CodexTrust checkCodexTrust(const Context& context);

// The context of this process: $HOME (else the password database), tarvel-hook beside the
// running executable, the current directory and $PATH.
std::optional<Context> currentContext(std::ostream& err);

}  // namespace tarvel::Installer
