#include "Tools/tarvel/RemoteCommands.hpp"

#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelDisplay/Client/ApiClient.hpp"
#include "TarvelDisplay/Remote/RemoteHosts.hpp"
#include "TarvelDisplay/Shared/VisibleText.hpp"
#include "TarvelDisplay/Shared/ServiceFiles.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"
#include "Tools/tarvel/AgentNames.hpp"
#include "Tools/tarvel/CodexHookTrust.hpp"
#include "Tools/tarvel/Configuration.hpp"
#include "Tools/tarvel/Installer.hpp"
#include "Tools/tarvel/RemoteHostsConfig.hpp"

namespace tarvel::RemoteCommands {
namespace {

using Display::RemoteHosts::Host;
using Display::RemoteHosts::shellQuoted;
namespace Configurations = AgentConfigurations;

constexpr auto sshLimit = std::chrono::seconds(60);
// Codex's app-server on the remote: the ssh connection and Codex's own start-up.
constexpr auto codexLimit = std::chrono::seconds(30);

// One command run on the remote host by its user's shell, through `sh -c` so that a login shell
// of another kind reads it the same way.
struct Remote {
  std::string destination;
  std::ostream& err;

  std::optional<Display::RemoteHosts::Outcome> run(const std::string& script,
                                                   std::string_view input = {}) const {
    auto outcome = Display::RemoteHosts::run(
        Display::RemoteHosts::sshCommand(
            {"-o", "BatchMode=yes", destination, "sh -c " + shellQuoted(script)}),
        input, sshLimit);
    if (!outcome) {
      err << "tarvel remote: " << outcome.error() << "\n";
      return std::nullopt;
    }
    if (outcome->timedOut) {
      err << "tarvel remote: " << destination << " did not answer within 60 s\n";
      return std::nullopt;
    }
    // 255 is ssh's own failure (no connection, refused key); other statuses are the script's.
    if (outcome->exitStatus == 255) {
      const std::string message = Display::RemoteHosts::lastMessage(outcome->err);
      err << "tarvel remote: cannot reach " << destination << " with ssh"
          << (message.empty() ? std::string() : ": " + message) << "\n";
      return std::nullopt;
    }
    return *outcome;
  }
};

std::string localMachine() {
  utsname names{};
  return ::uname(&names) == 0 ? std::string(names.machine) : std::string();
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The remote configuration's state and text, as `tarvel install` would judge it.
struct RemoteFile {
  enum class Kind { ok, missing, refused } kind = Kind::missing;
  std::string text;
  std::string reason;
};

std::optional<RemoteFile> readRemote(const Remote& remote, const std::string& path) {
  const std::string quoted = shellQuoted(path);
  const auto outcome = remote.run(
      "f=" + quoted +
      "; if [ -L \"$f\" ] && [ ! -e \"$f\" ]; then echo 'is a symbolic link to nothing'; exit 5"
      "; fi; if [ ! -e \"$f\" ]; then exit 6; fi"
      "; if [ ! -f \"$f\" ]; then echo 'is not a regular file'; exit 5; fi"
      "; if [ ! -w \"$f\" ]; then echo 'is read-only'; exit 5; fi"
      "; exec cat -- \"$f\"");
  if (!outcome) {
    return std::nullopt;
  }
  if (outcome->exitStatus == 0) {
    return RemoteFile{.kind = RemoteFile::Kind::ok, .text = outcome->out};
  }
  if (outcome->exitStatus == 6) {
    return RemoteFile{.kind = RemoteFile::Kind::missing};
  }
  std::string reason = outcome->out;
  while (!reason.empty() && reason.back() == '\n') {
    reason.pop_back();
  }
  return RemoteFile{.kind = RemoteFile::Kind::refused,
                    .reason = reason.empty() ? "cannot be read" : reason};
}

// Replaces the file whole (through a temporary file beside the link's target), keeping the old
// one as the first free <file>.tarvel-backup[-N], as `tarvel install` does.
bool writeRemote(const Remote& remote, const std::string& path, const std::string& text,
                 bool backup, std::string_view newMode = "") {
  const std::string script =
      "set -e; f=" + shellQuoted(path) +
      "; if [ -e \"$f\" ]; then f=$(readlink -f -- \"$f\"); fi"
      "; dir=$(dirname -- \"$f\"); mkdir -p -- \"$dir\""
      "; if [ -e \"$f\" ] && [ " +
      std::string(backup ? "1" : "0") +
      " = 1 ]; then b=\"$f.tarvel-backup\"; n=2"
      "; while [ -e \"$b\" ]; do b=\"$f.tarvel-backup-$n\"; n=$((n+1)); done"
      "; cp -p -- \"$f\" \"$b\"; fi"
      "; t=\"$dir/.$(basename -- \"$f\").tarvel-$$\"; trap 'rm -f \"$t\"' EXIT"
      "; cat > \"$t\"; if [ -e \"$f\" ]; then chmod --reference=\"$f\" \"$t\"" +
      (newMode.empty() ? std::string() : "; else chmod " + std::string(newMode) + " \"$t\"") +
      "; fi"
      "; mv -f -- \"$t\" \"$f\"; trap - EXIT";
  const auto outcome = remote.run(script, text);
  if (!outcome) {
    return false;
  }
  if (outcome->exitStatus != 0) {
    remote.err << "tarvel remote: cannot write " << remote.destination << ":" << path << ": "
               << Display::RemoteHosts::lastMessage(outcome->err) << "\n";
    return false;
  }
  return true;
}

// Codex runs a configured hook only once it is trusted (CodexHookTrust.hpp): the remote's Codex
// is asked through ssh, and its ~/.codex/config.toml edited as `tarvel install` edits the local one.
std::string codexPathOn(const std::string& probed) {
  return probed.starts_with('/') ? probed : std::string();
}

std::optional<std::vector<CodexHookTrust::ListedHook>> remoteCodexHooks(
    const Remote& remote, const std::string& codex, const std::string& home, std::ostream& out) {
  out << "Asking Codex on " << remote.destination << " for its hooks (at most "
      << codexLimit.count() << " s)...\n"
      << std::flush;
  return CodexHookTrust::listHooks(
      Display::RemoteHosts::sshCommand(
          {"-o", "BatchMode=yes", remote.destination,
           "sh -c " + shellQuoted("cd " + shellQuoted(home) + " && exec " + shellQuoted(codex) +
                                  " app-server")}),
      home, codexLimit);
}

std::string codexConfigPath(const std::string& home) { return home + "/.codex/config.toml"; }

void trustRemoteCodex(const Remote& remote, const std::string& codex, const std::string& home,
                      std::ostream& out) {
  const std::string advice = "Codex on " + remote.destination +
                             " asks once whether to trust the new hooks: answer it there with "
                             "/hooks\n";
  const auto listed = remoteCodexHooks(remote, codex, home, out);
  if (!listed) {
    out << "Codex on " << remote.destination << " did not list its hooks. " << advice;
    return;
  }
  std::vector<CodexHookTrust::ListedHook> untrusted;
  for (const auto& hook : CodexHookTrust::hooksRunning(
           *listed, Configurations::hookCommand(*AgentCatalogue::of(AgentProvider::codex), home))) {
    if (!CodexHookTrust::isTrusted(hook)) {
      untrusted.push_back(hook);
    }
  }
  if (untrusted.empty()) {
    out << "Codex on " << remote.destination << " already trusts the tarvel hooks\n";
    return;
  }
  const std::string path = codexConfigPath(home);
  const auto file = readRemote(remote, path);
  if (!file) {
    out << advice;
    return;
  }
  if (file->kind == RemoteFile::Kind::refused) {
    remote.err << "tarvel remote: " << remote.destination << ":" << path << " " << file->reason
               << "; left unchanged\n";
    out << advice;
    return;
  }
  const std::string updated = CodexHookTrust::withTrustedHashes(file->text, untrusted);
  // Codex reads the file as a TOML reader does: entries it would not find are not written.
  if (!CodexHookTrust::recordsTrust(updated, untrusted)) {
    out << "Codex would not read the trust entries from " << remote.destination << ":" << path
        << ", so it was left as it was. " << advice;
    return;
  }
  // A new file is private (0600), like Codex's own.
  if (!writeRemote(remote, path, updated, file->kind == RemoteFile::Kind::ok, "600")) {
    out << advice;
    return;
  }
  out << "Marked " << untrusted.size() << " tarvel hooks as trusted in " << remote.destination
      << ":" << path << "\n";
}

// The keys the remote's Codex gives our hooks, asked before they are removed (Codex keys a hook
// by its place in hooks.json); empty when Codex is not there or does not answer.
std::vector<std::string> remoteCodexKeys(const Remote& remote, const std::string& home,
                                         std::ostream& out) {
  const auto probe = remote.run("command -v codex || true");
  const std::string codex =
      probe ? codexPathOn(probe->out.substr(0, probe->out.find('\n'))) : std::string();
  if (codex.empty()) {
    return {};
  }
  const auto listed = remoteCodexHooks(remote, codex, home, out);
  std::vector<std::string> keys;
  if (listed) {
    for (const auto& hook : CodexHookTrust::hooksRunning(
             *listed,
             Configurations::hookCommand(*AgentCatalogue::of(AgentProvider::codex), home))) {
      keys.push_back(hook.key);
    }
  }
  return keys;
}

// Removes the trust tables of `keys` from the remote's ~/.codex/config.toml, every other byte
// staying; the file goes when add created it for them alone (add keeps a backup of any file it
// replaced, so a file without one was made by add). False when the remote could not be written.
bool untrustRemoteCodex(const Remote& remote, const std::string& home,
                        const std::vector<std::string>& keys, std::ostream& out) {
  if (keys.empty()) {
    return true;
  }
  const std::string path = codexConfigPath(home);
  const auto file = readRemote(remote, path);
  if (!file) {
    return false;
  }
  if (file->kind != RemoteFile::Kind::ok) {
    return true;
  }
  const std::string updated = CodexHookTrust::withoutTrustedHashes(file->text, keys);
  if (updated == file->text) {
    return true;
  }
  if (updated.find_first_not_of(" \t\r\n") == std::string::npos) {
    const auto removed = remote.run("f=" + shellQuoted(path) +
                                    "; [ -L \"$f\" ] || [ -e \"$f.tarvel-backup\" ] && exit 7"
                                    "; exec rm -f -- \"$f\"");
    if (!removed) {
      return false;
    }
    if (removed->exitStatus == 0) {
      out << "Removed " << remote.destination << ":" << path
          << ", which held only the trust entries of the tarvel hooks\n";
      return true;
    }
  }
  if (!writeRemote(remote, path, updated, false)) {
    return false;
  }
  out << "Removed the trust entries of the tarvel hooks from " << remote.destination << ":"
      << path << "\n";
  return true;
}

// The hosts are kept in the settings file, beside the service's settings; an older version
// kept them in remotes.json in Tarvel's directory, moved in at the first use.
std::optional<std::vector<Host>> loadRecords(std::ostream& err) {
  if (auto problem = RemoteHostsConfig::moveOldRecords(
          Display::ServiceFiles::Paths::standard().directory / "remotes.json",
          Configuration::path(), err)) {
    err << "tarvel remote: " << *problem << "\n";
    return std::nullopt;
  }
  auto hosts = RemoteHostsConfig::read(Configuration::path());
  if (!hosts) {
    err << "tarvel remote: " << hosts.error() << "\n";
    return std::nullopt;
  }
  return *hosts;
}

bool saveRecords(const std::vector<Host>& hosts, std::ostream& err) {
  if (auto problem = RemoteHostsConfig::write(Configuration::path(), hosts)) {
    err << "tarvel remote: " << *problem << "\n";
    return false;
  }
  return true;
}

// What --agent takes: the agent table's install names.
std::string agentProblem() {
  return "--agent takes " + CommandLine::listed(AgentNames::installable());
}

int add(const std::string& destination, const std::vector<const AgentRow*>& agents,
        const std::filesystem::path& hookSource, std::ostream& out, std::ostream& err) {
  const Remote remote{destination, err};
  const auto relay = readFile(hookSource);
  if (!relay || relay->empty()) {
    err << "tarvel remote: cannot read " << hookSource.string() << "\n";
    return 1;
  }
  // A settings file that cannot take the host is refused before anything is set up there.
  if (const auto hosts = loadRecords(err); !hosts) {
    return 1;
  }
  out << "Reaching " << destination << " with ssh...\n";
  out.flush();
  const auto probe = remote.run("uname -m; printf '%s\\n' \"$HOME\"; command -v codex || true");
  if (!probe) {
    return 1;
  }
  std::istringstream lines(probe->out);
  std::string machine;
  std::string home;
  std::string codex;
  std::getline(lines, machine);
  std::getline(lines, home);
  std::getline(lines, codex);
  codex = codexPathOn(codex);
  if (probe->exitStatus != 0 || machine.empty() || !home.starts_with('/')) {
    err << "tarvel remote: " << destination
        << " did not say its machine type and home directory (is it a Linux machine?)\n";
    return 1;
  }
  // Its paths are printed and written into files: a home a terminal would act on is refused.
  if (const std::string shown = Display::VisibleText::visible(home); shown != home) {
    err << "tarvel remote: " << destination << " says its home directory is " << shown
        << ", which holds characters that are not text; tarvel needs a plain path\n";
    return 1;
  }
  if (machine != localMachine()) {
    err << "tarvel remote: " << destination << " is a " << machine
        << " machine and this tarvel-hook is built for " << localMachine()
        << "; install Tarvel on " << destination << " itself and run tarvel install there\n";
    return 1;
  }
  const Host host{.destination = destination, .home = home};
  const std::string relayPath = Configurations::relayPath(home).string();
  const auto copied = remote.run(
      "set -e; umask 077; d=" + shellQuoted(home + "/.tarvel") +
          "; if [ -L \"$d\" ]; then echo \"$d is a symbolic link\" >&2; exit 1; fi"
          "; mkdir -p \"$d/bin\"; chmod 700 \"$d\"; t=\"$d/bin/.tarvel-hook.$$\""
          "; trap 'rm -f \"$t\"' EXIT; cat > \"$t\"; chmod 755 \"$t\"; mv -f \"$t\" " +
          shellQuoted(relayPath) + "; trap - EXIT",
      *relay);
  if (!copied) {
    return 1;
  }
  if (copied->exitStatus != 0) {
    err << "tarvel remote: cannot copy tarvel-hook to " << destination << ": "
        << Display::RemoteHosts::lastMessage(copied->err) << "\n";
    return 1;
  }
  out << "Copied tarvel-hook to " << destination << ":" << relayPath << "\n";

  Host recorded = host;
  int status = 0;
  for (const AgentRow* agent : agents) {
    const std::string path = Configurations::configurationPath(*agent, home).string();
    const auto file = readRemote(remote, path);
    if (!file) {
      return 1;
    }
    if (file->kind == RemoteFile::Kind::refused) {
      err << "tarvel remote: " << destination << ":" << path << " " << file->reason
          << "; left unchanged\n";
      status = 1;
      continue;
    }
    const std::string command = Configurations::hookCommand(*agent, home);
    // This machine's service holds the remote agent's prompts: its hold sets the limits.
    auto edited =
        Configurations::withOurEntries(*agent, file->text, command, Configuration::holdSeconds());
    if (!edited) {
      err << "tarvel remote: " << destination << ":" << path << " " << edited.error().reason
          << "; left unchanged\n";
      status = 1;
      continue;
    }
    if (*edited != file->text &&
        !writeRemote(remote, path, *edited, file->kind == RemoteFile::Kind::ok)) {
      return 1;
    }
    recorded.agents.emplace_back(agent->installName);
    out << agent->displayName << " on " << destination << " runs tarvel-hook (" << path << ")\n";
    if (agent->trust == HookTrust::codexAppServer && !codex.empty()) {
      trustRemoteCodex(remote, codex, home, out);
    }
  }

  auto hosts = loadRecords(err);
  if (!hosts) {
    return 1;
  }
  const auto existing = std::find_if(hosts->begin(), hosts->end(), [&](const Host& entry) {
    return entry.destination == destination;
  });
  if (existing != hosts->end()) {
    for (const std::string& agent : existing->agents) {
      if (std::find(recorded.agents.begin(), recorded.agents.end(), agent) ==
          recorded.agents.end()) {
        recorded.agents.push_back(agent);
      }
    }
    *existing = recorded;
  } else {
    hosts->push_back(recorded);
  }
  if (!saveRecords(*hosts, err)) {
    return 1;
  }
  out << "Recorded " << destination
      << "; tarvel serve keeps it connected (a running one connects it within seconds)\n";
  return status;
}

int remove(const std::string& destination, std::ostream& out, std::ostream& err) {
  auto hosts = loadRecords(err);
  if (!hosts) {
    return 1;
  }
  const auto found = std::find_if(hosts->begin(), hosts->end(), [&](const Host& entry) {
    return entry.destination == destination;
  });
  if (found == hosts->end()) {
    err << "tarvel remote: " << destination << " is not a recorded host (tarvel remote list)\n";
    return 1;
  }
  const Remote remote{destination, err};
  for (const std::string& name : found->agents) {
    const AgentRow* agent = AgentCatalogue::installable(name);
    if (agent == nullptr) {
      continue;
    }
    const std::string path = Configurations::configurationPath(*agent, found->home).string();
    const auto file = readRemote(remote, path);
    if (!file) {
      return 1;
    }
    if (file->kind != RemoteFile::Kind::ok) {
      continue;
    }
    auto edited = Configurations::withoutOurEntries(
        *agent, file->text, Configurations::hookCommand(*agent, found->home));
    if (!edited) {
      err << "tarvel remote: " << destination << ":" << path << " " << edited.error().reason
          << "; left unchanged\n";
      return 1;
    }
    // Codex keys a trusted hook by its place in hooks.json: learn our keys before removing.
    const std::vector<std::string> trustKeys =
        agent->trust == HookTrust::codexAppServer && *edited != file->text
            ? remoteCodexKeys(remote, found->home, out)
            : std::vector<std::string>{};
    if (agent->configuration.format == HookFileFormat::plugin && edited->empty()) {
      // The plugin is ours alone: it goes whole.
      const auto removed = remote.run("rm -f " + shellQuoted(path));
      if (!removed || removed->exitStatus != 0) {
        err << "tarvel remote: cannot remove " << destination << ":" << path << "\n";
        return 1;
      }
      out << "Removed " << destination << ":" << path << "\n";
      continue;
    }
    // Written without a new backup: the file is then exactly as it was before `add`.
    if (*edited != file->text && !writeRemote(remote, path, *edited, false)) {
      return 1;
    }
    out << "Removed the hooks from " << destination << ":" << path << "\n";
    if (!untrustRemoteCodex(remote, found->home, trustKeys, out)) {
      return 1;
    }
  }
  const auto removed = remote.run(
      "rm -f " + shellQuoted(Configurations::relayPath(found->home).string()) + "; rmdir " +
      shellQuoted(found->home + "/.tarvel/bin") + " 2>/dev/null; true");
  if (!removed) {
    return 1;
  }
  hosts->erase(found);
  if (!saveRecords(*hosts, err)) {
    return 1;
  }
  out << "Removed tarvel-hook from " << destination
      << " and forgot the host (a running tarvel serve ends its link)\n";
  return 0;
}

int list(std::ostream& out, std::ostream& err) {
  const auto hosts = loadRecords(err);
  if (!hosts) {
    return 1;
  }
  if (hosts->empty()) {
    out << "No remote hosts (add one with: tarvel remote add [USER@]HOST --agent NAME)\n";
  }
  for (const Host& host : *hosts) {
    std::string agents;
    for (const std::string& agent : host.agents) {
      agents += (agents.empty() ? "" : ", ") + agent;
    }
    out << Display::VisibleText::visible(host.destination) << "  "
        << Display::VisibleText::visible(host.home) << "  "
        << (agents.empty() ? std::string("no agents") : agents) << "\n";
  }
  return 0;
}

int status(std::ostream& out, std::ostream& err) {
  const auto hosts = loadRecords(err);
  if (!hosts) {
    return 1;
  }
  const auto paths = Display::ServiceFiles::Paths::standard();
  auto response = Display::ApiClient::request(paths.apiSocket, "GET", "/v1/state", {},
                                              std::chrono::milliseconds(2000));
  std::optional<Json> parsed;
  if (response && response->status == 200) {
    if (auto decoded = Coding::parse(response->body)) {
      parsed = std::move(*decoded);
    }
  }
  if (!parsed || !parsed->is_object()) {
    out << "No service is running (start it with: tarvel serve); " << hosts->size()
        << " recorded host(s) not connected\n";
    return hosts->empty() ? 0 : 3;
  }
  const auto remotes = parsed->find("remotes");
  int down = 0;
  if (remotes != parsed->end() && remotes->is_array()) {
    for (const Json& entry : *remotes) {
      const bool connected = entry.value("connected", false);
      out << entry.value("host", std::string()) << "  "
          << (connected ? "connected" : "down");
      if (const auto since = entry.find("since"); since != entry.end() && since->is_string()) {
        out << " since " << since->get<std::string>();
      }
      if (const auto error = entry.find("lastError"); !connected && error != entry.end() &&
                                                       error->is_string()) {
        out << ": " << error->get<std::string>();
      }
      out << "\n";
      down += connected ? 0 : 1;
    }
    if (remotes->empty()) {
      out << "The service connects no remote host";
      out << (hosts->empty() ? "\n" : " yet (it connects the recorded ones within seconds)\n");
    }
  }
  return down == 0 ? 0 : 1;
}

int run(const CommandLine::Invocation& invocation) {
  const auto context = Installer::currentContext(invocation.err);
  if (!context) {
    return 1;
  }
  const std::string_view action = invocation.reading.action->name;
  const auto& operands = invocation.reading.operands;
  if (action == "add") {
    const auto wrong = [&](std::string_view problem) {
      invocation.err << "tarvel remote: " << problem << "\n"
                     << CommandLine::help(invocation.command);
      return 2;
    };
    if (operands.front().empty()) {
      return wrong("unexpected argument: ");
    }
    std::vector<const AgentRow*> agents;
    for (const std::string_view name : invocation.reading.values("--agent")) {
      const AgentRow* agent = AgentCatalogue::installable(name);
      if (agent == nullptr) {
        return wrong(agentProblem());
      }
      if (std::find(agents.begin(), agents.end(), agent) == agents.end()) {
        agents.push_back(agent);
      }
    }
    return add(std::string(operands.front()), agents, context->hookSource, invocation.out,
               invocation.err);
  }
  if (action == "remove") {
    return remove(std::string(operands.front()), invocation.out, invocation.err);
  }
  if (action == "list") {
    return list(invocation.out, invocation.err);
  }
  return status(invocation.out, invocation.err);
}

std::string refusal(const CommandLine::ReadProblem& problem) {
  using Kind = CommandLine::ReadProblem::Kind;
  const bool adding = problem.action != nullptr && problem.action->name == "add";
  std::string words = "unknown command or arguments";
  if (problem.kind == Kind::missingAction) {
    words = "which remote command?";
  } else if (adding && problem.kind == Kind::unknownArgument) {
    words = "unexpected argument: " + problem.word;
  } else if (adding && problem.kind == Kind::missingOperand) {
    words = "remote add needs a host";
  } else if (adding && problem.kind == Kind::missingValue) {
    words = agentProblem();
  }
  return "tarvel remote: " + words + "\n" + CommandLine::help(*problem.command);
}

constexpr std::array hostOperand{CommandLine::Operand{.name = "[USER@]HOST"}};
constexpr std::array removedHostOperand{CommandLine::Operand{.name = "HOST"}};
constexpr std::array addOptions{
    CommandLine::Option{.name = "--agent",
                        .value = "AGENT",
                        .help = "an agent whose hooks to install there (once for each agent)",
                        .words = AgentNames::installable,
                        .showWords = true,
                        .repeatable = true},
};
constexpr std::array actions{
    CommandLine::Action{
        .name = "add",
        .help = "copy tarvel-hook to HOST, install the hooks of each --agent there and record the "
                "host",
        .operands = hostOperand,
        .options = addOptions},
    CommandLine::Action{.name = "list", .help = "the recorded hosts and their agents"},
    CommandLine::Action{.name = "remove",
                        .help = "take the hooks and tarvel-hook off HOST and forget it",
                        .operands = removedHostOperand},
    CommandLine::Action{.name = "status",
                        .help = "whether the running service is connected to each host"},
};

}  // namespace

constinit const CommandLine::Command command{
    .name = "remote",
    .summary = "set up and list agents on other machines reached over ssh",
    .help =
        "Agents on other Linux machines, reached with your own ssh (its keys, ~/.ssh/config, "
        "ProxyJump; $TARVEL_SSH_COMMAND replaces ssh). add puts the hooks in place there, "
        "with the same edit as tarvel install (the old files kept beside them); tarvel serve "
        "then keeps the host connected. Exit status 2 on a wrong command line, 1 when "
        "something failed or was refused.",
    .actions = actions,
    .run = run,
    .refusal = refusal,
};

}  // namespace tarvel::RemoteCommands
