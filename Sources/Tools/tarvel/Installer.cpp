#include "Tools/tarvel/Installer.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Platform/FileReplace.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "Tools/tarvel/CodexHookTrust.hpp"

namespace tarvel::Installer {
namespace {

namespace fs = std::filesystem;
using AgentConfigurations::Document;

// A configuration file larger than this is not one we edit.
constexpr std::size_t maximumFileBytes = 16 * 1024 * 1024;
constexpr std::size_t maximumProgramBytes = 512 * 1024 * 1024;

struct FileText {
  bool exists = false;
  std::string bytes;
  mode_t mode = 0644;
  bool writable = true;  // by us, and the owner's write permission is set
};

std::string errnoText(int error) { return std::strerror(error); }

// Reads a whole regular file; absent file gives exists == false; anything else that fails is the
// message in the error string. The type is checked before opening, and the open never waits, so
// a FIFO or device at the path is refused instead of blocking the command.
std::variant<FileText, std::string> readFile(const fs::path& path,
                                             std::size_t limit = maximumFileBytes) {
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0) {
    if (errno == ENOENT) {
      return FileText{};
    }
    return "cannot read " + path.string() + ": " + errnoText(errno);
  }
  if (!S_ISREG(before.st_mode)) {
    return path.string() + " is not a regular file";
  }
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file) {
    return "cannot read " + path.string() + ": " + errnoText(errno);
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return path.string() + " is not a regular file";
  }
  FileText text{.exists = true,
                .mode = static_cast<mode_t>(status.st_mode & 07777),
                .writable = ::access(path.c_str(), W_OK) == 0 && (status.st_mode & S_IWUSR) != 0};
  char buffer[65536];
  while (true) {
    const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return "cannot read " + path.string() + ": " + errnoText(errno);
    }
    if (count == 0) {
      return text;
    }
    text.bytes.append(buffer, static_cast<std::size_t>(count));
    if (text.bytes.size() > limit) {
      return path.string() + " is larger than " + std::to_string(limit >> 20) + " MiB";
    }
  }
}

// Replaces `path` whole (see FileReplace); `path` is already the file a link leads to. Returns
// the failure's message.
std::optional<std::string> writeAtomically(const fs::path& path, std::string_view bytes,
                                           mode_t mode) {
  if (const auto problem = FileReplace::replace(path, bytes, {.mode = mode})) {
    return problem->description();
  }
  return std::nullopt;
}

// The file an edit goes to: a symbolic link (a managed dotfile) is followed so that the link
// stays and its target changes. A link whose target does not exist is refused: writing would
// replace the link with a regular file.
std::variant<fs::path, std::string> editedPath(const fs::path& path) {
  auto target = FileReplace::target(path, FileReplace::Links::follow);
  if (!target) {
    return target.error().description() +
           "; create the file it points to (it may hold just {}), or remove the link";
  }
  return std::move(*target);
}

std::optional<std::string> createDirectory(const fs::path& directory, fs::perms permissions) {
  std::error_code error;
  if (fs::is_directory(directory, error)) {
    return std::nullopt;
  }
  if (const auto parent = directory.parent_path(); parent != directory) {
    if (auto problem = createDirectory(parent, fs::perms(0755))) {
      return problem;
    }
  }
  if (::mkdir(directory.c_str(), static_cast<mode_t>(permissions)) != 0 && errno != EEXIST) {
    return "cannot create " + directory.string() + ": " + errnoText(errno);
  }
  return std::nullopt;
}

// Copies the relay to ~/.tarvel/bin/tarvel-hook with mode 0755, atomically.
std::optional<std::string> installRelay(const Context& context, const fs::path& destination) {
  const auto source = readFile(context.hookSource, maximumProgramBytes);
  if (const auto* problem = std::get_if<std::string>(&source)) {
    return *problem;
  }
  if (!std::get<FileText>(source).exists) {
    return "tarvel-hook was not found beside tarvel (looked for " + context.hookSource.string() +
           "); build it first";
  }
  if (auto problem = createDirectory(context.home / ".tarvel", fs::perms(0700))) {
    return problem;
  }
  if (auto problem = createDirectory(destination.parent_path(), fs::perms(0755))) {
    return problem;
  }
  return writeAtomically(destination, std::get<FileText>(source).bytes, 0755);
}

// Keeps the previous file beside it (the first free one of <file>.tarvel-backup,
// <file>.tarvel-backup-2, ...), so no earlier backup is ever overwritten, and then writes the new
// configuration. Returns the failure's message.
std::optional<std::string> replaceConfiguration(const fs::path& path, const FileText& original,
                                                std::string_view bytes, std::ostream& out) {
  if (original.exists) {
    constexpr int maximumBackups = 100;
    bool kept = false;
    for (int number = 1; number <= maximumBackups && !kept; ++number) {
      const fs::path backup = path.string() + ".tarvel-backup" +
                              (number == 1 ? std::string() : "-" + std::to_string(number));
      // Made only where no file is yet, so that no earlier backup is ever replaced.
      const auto problem = FileReplace::create(backup, original.bytes, original.mode);
      if (problem && problem->kind != FileReplace::Error::Kind::exists) {
        return problem->description();
      }
      if (!problem) {
        out << "Kept a copy of the previous file in " << backup.string() << "\n";
        kept = true;
      }
    }
    if (!kept) {
      return "there are already " + std::to_string(maximumBackups) + " backups of " +
             path.string() + "; remove old ones first";
    }
  } else if (auto problem = createDirectory(path.parent_path(), fs::perms(0755))) {
    return problem;
  }
  return writeAtomically(path, bytes, original.exists ? original.mode : 0644);
}


// The configuration files install created, one path a line in ~/.tarvel/created-files:
// uninstall removes such a file again when nothing but an empty object is left in it.
fs::path createdList(const Context& context) { return context.home / ".tarvel" / "created-files"; }

std::vector<std::string> createdFiles(const Context& context) {
  const auto read = readFile(createdList(context));
  std::vector<std::string> paths;
  if (const auto* file = std::get_if<FileText>(&read)) {
    std::size_t start = 0;
    while (start < file->bytes.size()) {
      const auto end = std::min(file->bytes.find('\n', start), file->bytes.size());
      if (end > start) {
        paths.push_back(file->bytes.substr(start, end - start));
      }
      start = end + 1;
    }
  }
  return paths;
}

void writeCreatedFiles(const Context& context, const std::vector<std::string>& paths) {
  if (paths.empty()) {
    ::unlink(createdList(context).c_str());
    return;
  }
  std::string text;
  for (const std::string& path : paths) {
    text += path + "\n";
  }
  static_cast<void>(writeAtomically(createdList(context), text, 0600));
}

bool isEmptyObject(std::string_view bytes) {
  std::string compact;
  for (const char character : bytes) {
    if (character != ' ' && character != '\t' && character != '\n' && character != '\r') {
      compact += character;
    }
  }
  return compact == "{}";
}

// The copies replaceConfiguration kept beside `path`, in the order they were made.
std::vector<fs::path> backupsOf(const fs::path& path) {
  std::vector<fs::path> backups;
  for (int number = 1; number <= 100; ++number) {
    std::string name = path.string() + ".tarvel-backup";
    if (number > 1) {
      name += '-';
      name += std::to_string(number);
    }
    const fs::path backup = name;
    std::error_code error;
    if (fs::exists(fs::symlink_status(backup, error))) {
      backups.push_back(backup);
    }
  }
  return backups;
}

using CodexHookTrust::isTrusted;

constexpr std::string_view reviewAdvice =
    "When Codex next starts it says \"hooks need review\": approve the tarvel hooks there "
    "(they run ~/.tarvel/bin/tarvel-hook).\n";

// Asks Codex for its hooks, saying first what the command waits for, since Codex can take a
// while to start (and a broken one is given up on after the deadline).
std::optional<std::vector<CodexHookTrust::ListedHook>> askCodex(const fs::path& codex,
                                                                const Context& context,
                                                                std::ostream& out) {
  const auto milliseconds = context.codexDeadline.count();
  out << "Asking " << codex.string() << " app-server for its hooks (at most "
      << (milliseconds % 1000 == 0 ? std::to_string(milliseconds / 1000) + " s"
                                   : std::to_string(milliseconds) + " ms")
      << ")...\n"
      << std::flush;
  return CodexHookTrust::listHooks(codex, context.workingDirectory, context.codexDeadline);
}

// Replaces ~/.codex/config.toml (as read into `file`) with `updated`, keeping a backup of the
// old one; a new file is private (0600) like Codex's own. Returns the failure's message.
std::optional<std::string> rewriteCodexConfiguration(const fs::path& config, const FileText& file,
                                                     std::string_view updated, std::ostream& out) {
  return replaceConfiguration(config,
                              FileText{.exists = file.exists,
                                       .bytes = file.bytes,
                                       .mode = file.exists ? file.mode : mode_t{0600}},
                              updated, out);
}

// Records our hooks as trusted in ~/.codex/config.toml, after asking Codex for their keys and
// hashes; checks with Codex that it now trusts them and puts the file back when it does not.
void trustCodexHooks(const Context& context, std::string_view command, std::ostream& out,
                     std::ostream& err) {
  const auto codex = Spawn::findProgram("codex", context.searchPath);
  if (!codex) {
    out << "Codex was not found on PATH, so the hooks could not be marked as trusted. "
        << reviewAdvice;
    return;
  }
  const auto listed = askCodex(*codex, context, out);
  if (!listed) {
    out << codex->string() << " app-server did not list its hooks. " << reviewAdvice;
    return;
  }
  std::vector<CodexHookTrust::ListedHook> ours;
  for (const auto& hook : CodexHookTrust::hooksRunning(*listed, command)) {
    if (!isTrusted(hook)) {
      ours.push_back(hook);
    }
  }
  if (ours.empty()) {
    out << "Codex already trusts the tarvel hooks.\n";
    return;
  }
  const auto edited = editedPath(context.home / ".codex" / "config.toml");
  const auto original = std::holds_alternative<fs::path>(edited)
                            ? readFile(std::get<fs::path>(edited))
                            : std::variant<FileText, std::string>(std::get<std::string>(edited));
  if (const auto* problem = std::get_if<std::string>(&original)) {
    err << "tarvel: " << *problem << "\n";
    out << reviewAdvice;
    return;
  }
  const fs::path config = std::get<fs::path>(edited);
  const auto& file = std::get<FileText>(original);
  const std::string updated = CodexHookTrust::withTrustedHashes(file.bytes, ours);
  // Codex reads the file back the way a TOML reader does; one that does not find the entries
  // (an unusual config.toml) would leave the hooks untrusted, so nothing is written then.
  if (!CodexHookTrust::recordsTrust(updated, ours)) {
    out << "Codex would not read the trust entries from " << config.string()
        << ", so it was left as it was. " << reviewAdvice;
    return;
  }
  if (auto problem = rewriteCodexConfiguration(config, file, updated, out)) {
    err << "tarvel: " << *problem << "\n";
    out << reviewAdvice;
    return;
  }
  out << "Marked " << ours.size() << " tarvel hooks as trusted in " << config.string() << "\n";
}

// The keys Codex gives our hooks, asked before they are removed (Codex keys a hook by its place
// in hooks.json); empty when Codex is not on PATH or does not answer.
std::vector<std::string> codexKeysOfOurHooks(const Context& context, std::string_view command,
                                             std::ostream& out) {
  const auto codex = Spawn::findProgram("codex", context.searchPath);
  if (!codex) {
    return {};
  }
  const auto listed = askCodex(*codex, context, out);
  std::vector<std::string> keys;
  for (const auto& hook :
       listed ? CodexHookTrust::hooksRunning(*listed, command)
              : std::vector<CodexHookTrust::ListedHook>{}) {
    keys.push_back(hook.key);
  }
  return keys;
}

// Removes the trust tables of our hooks from ~/.codex/config.toml, leaving every other byte.
void untrustCodexHooks(const Context& context, const std::vector<std::string>& keys,
                       std::ostream& out, std::ostream& err) {
  if (keys.empty()) {
    return;
  }
  const auto edited = editedPath(context.home / ".codex" / "config.toml");
  if (const auto* problem = std::get_if<std::string>(&edited)) {
    err << "tarvel: " << *problem << "\n";
    return;
  }
  const fs::path config = std::get<fs::path>(edited);
  const auto original = readFile(config);
  if (const auto* problem = std::get_if<std::string>(&original)) {
    err << "tarvel: " << *problem << "\n";
    return;
  }
  const auto& file = std::get<FileText>(original);
  const std::string updated = CodexHookTrust::withoutTrustedHashes(file.bytes, keys);
  if (!file.exists || updated == file.bytes) {
    return;
  }
  if (auto problem = rewriteCodexConfiguration(config, file, updated, out)) {
    err << "tarvel: " << *problem << "\n";
    return;
  }
  out << "Removed the trust entries of the tarvel hooks from " << config.string() << "\n";
}

// What to do next, from the agent's row: what to start, and what waits for an answer when its
// hooks carry decisions back ("permission requests, AskUserQuestion and ExitPlanMode").
std::string nextSteps(const AgentRow& agent, int holdSeconds) {
  std::string text = "Start tarvel-island, then ";
  text += agent.startAdvice.empty() ? "a new " + std::string(agent.displayName) + " session"
                                    : std::string(agent.startAdvice);
  text += ": each step shows in the display";
  if (!agent.decisionEvents.empty()) {
    std::vector<std::string> waiting{"permission requests"};
    for (const InteractiveToolEntry& tool : agent.tools.interactive) {
      waiting.emplace_back(tool.name);
    }
    text += ", and ";
    for (std::size_t index = 0; index < waiting.size(); ++index) {
      text += (index == 0 ? "" : index + 1 == waiting.size() ? " and " : ", ") + waiting[index];
    }
    text +=
        " wait up to " + std::to_string(holdSeconds) + " s for an answer from it";
  }
  return text + ".\n";
}

}  // namespace

int run(const Options& options, const Context& context, std::ostream& out, std::ostream& err) {
  const AgentRow& agent = *options.agent;
  const auto edited = editedPath(
      AgentConfigurations::configurationPath(agent, context.home, context.agentFolders));
  if (const auto* problem = std::get_if<std::string>(&edited)) {
    err << "tarvel: " << *problem << "; nothing was changed\n";
    return 1;
  }
  const fs::path& path = std::get<fs::path>(edited);
  const auto read = readFile(path);
  if (const auto* problem = std::get_if<std::string>(&read)) {
    err << "tarvel: " << *problem << "; nothing was changed\n";
    return 1;
  }
  const auto& file = std::get<FileText>(read);
  if (options.action == Action::uninstall && !file.exists) {
    out << path.string() << " does not exist; there is nothing to remove.\n";
    return 0;
  }
  const std::string command =
      AgentConfigurations::hookCommand(agent, context.commandHome.value_or(context.home));
  const auto result = options.action == Action::install
                          ? AgentConfigurations::withOurEntries(agent, file.bytes, command,
                                                                context.holdSeconds)
                          : AgentConfigurations::withoutOurEntries(agent, file.bytes, command);
  if (!result) {
    err << "tarvel: " << path.string() << " " << result.error().reason << "; nothing was changed\n";
    return 1;
  }
  const std::string& bytes = *result;
  const bool unchanged = file.exists && bytes == file.bytes;

  const bool plugin = agent.configuration.format == HookFileFormat::plugin;
  if (options.dryRun && plugin && options.action == Action::uninstall) {
    err << "Dry run: nothing was removed; " << path.string() << " would be removed.\n";
    return 0;
  }
  if (options.dryRun) {
    out << bytes;
    err << "Dry run: nothing was written; this is what " << path.string() << " would hold.\n";
    return 0;
  }
  if (!unchanged && file.exists && !file.writable && !options.force) {
    err << "tarvel: " << path.string()
        << " is read-only; make it writable, or run again with --force to replace it anyway; "
           "nothing was changed\n";
    return 1;
  }
  const fs::path relay = AgentConfigurations::relayPath(context.home);
  if (options.action == Action::install && context.commandHome) {
    out << "The container runs tarvel-hook from "
        << AgentConfigurations::relayPath(*context.commandHome).string()
        << ", bound in as tarvel container shows\n";
  } else if (options.action == Action::install) {
    if (auto problem = installRelay(context, relay)) {
      err << "tarvel: " << *problem << "; nothing was changed in " << path.string() << "\n";
      return 1;
    }
    out << "Installed the hook program (it tells Tarvel each step of the agent) as " << relay.string() << "\n";
  }
  // Codex keys a trusted hook by its place in hooks.json: learn our keys before removing.
  const std::vector<std::string> trustKeys =
      options.action == Action::uninstall && agent.trust == HookTrust::codexAppServer && !unchanged
          ? codexKeysOfOurHooks(context, command, out)
          : std::vector<std::string>{};
  if (unchanged) {
    out << (options.action == Action::install
                ? path.string() + " already holds the tarvel hooks; it was not changed.\n"
                : path.string() + " holds no tarvel hooks; it was not changed.\n");
  } else if (plugin && options.action == Action::uninstall) {
    // The plugin is ours alone: it goes whole, with no copy kept.
    if (::unlink(path.c_str()) != 0) {
      err << "tarvel: cannot remove " << path.string() << ": " << errnoText(errno) << "\n";
      return 1;
    }
    out << "Removed " << path.string() << ", the plugin tarvel install had written for "
        << agent.displayName << "\n";
  } else if (plugin) {
    if (auto problem = createDirectory(path.parent_path(), fs::perms(0755))) {
      err << "tarvel: " << *problem << "\n";
      return 1;
    }
    if (auto problem = writeAtomically(path, bytes, 0644)) {
      err << "tarvel: " << *problem << "\n";
      return 1;
    }
    out << "Wrote the tarvel plugin for " << agent.displayName << " to " << path.string() << "\n";
  } else {
    std::vector<std::string> created = createdFiles(context);
    const auto listed = std::find(created.begin(), created.end(), path.string());
    if (options.action == Action::uninstall && listed != created.end() && isEmptyObject(bytes)) {
      // Only our entries were ever in it: the file goes as it came.
      if (::unlink(path.c_str()) != 0) {
        err << "tarvel: cannot remove " << path.string() << ": " << errnoText(errno) << "\n";
        return 1;
      }
      created.erase(listed);
      writeCreatedFiles(context, created);
      out << "Removed " << path.string() << ", which tarvel install had created for "
          << agent.displayName << "\n";
    } else {
      if (auto problem = replaceConfiguration(path, file, bytes, out)) {
        err << "tarvel: " << *problem << "\n";
        return 1;
      }
      if (options.action == Action::install && !file.exists && listed == created.end()) {
        created.push_back(path.string());
        writeCreatedFiles(context, created);
      }
      out << (options.action == Action::install ? "Added the tarvel hooks for "
                                                : "Removed the tarvel hooks for ")
          << agent.displayName << (options.action == Action::install ? " to " : " from ")
          << path.string() << "\n";
    }
  }
  if (options.action == Action::uninstall) {
    if (const auto backups = backupsOf(path); !backups.empty()) {
      out << "Earlier versions of " << path.string() << " are kept beside it:";
      for (const fs::path& backup : backups) {
        out << " " << backup.filename().string();
      }
      out << " (delete them when you no longer need them)\n";
    }
    untrustCodexHooks(context, trustKeys, out, err);
    out << relay.string() << " stays for the other agents; delete it when none uses it.\n";
    return 0;
  }
  if (agent.trust == HookTrust::codexAppServer && !context.commandHome) {
    trustCodexHooks(context, command, out, err);
  }
  out << nextSteps(agent, context.holdSeconds);
  return 0;
}

ConfigurationCheck checkConfiguration(const AgentRow& agent, const Context& context) {
  ConfigurationCheck check{
      .path = AgentConfigurations::configurationPath(agent, context.home, context.agentFolders)};
  // The same reading install does, so that what is refused here is what install would refuse.
  const auto edited = editedPath(check.path);
  if (const auto* problem = std::get_if<std::string>(&edited)) {
    check.exists = true;
    check.problem = *problem;
    return check;
  }
  const fs::path& path = std::get<fs::path>(edited);
  const auto read = readFile(path);
  if (const auto* problem = std::get_if<std::string>(&read)) {
    check.exists = true;
    check.problem = *problem;
    return check;
  }
  const auto& file = std::get<FileText>(read);
  check.exists = file.exists;
  if (!file.exists) {
    return check;
  }
  const std::string command = AgentConfigurations::hookCommand(agent, context.home);
  const auto installed =
      AgentConfigurations::withOurEntries(agent, file.bytes, command, context.holdSeconds);
  if (!installed) {
    check.problem = path.string() + " " + installed.error().reason;
    return check;
  }
  check.waitingLimitSeconds = AgentConfigurations::shortestWaitingLimit(agent, file.bytes, command);
  if (*installed == file.bytes) {
    check.hooks = ConfigurationCheck::Hooks::current;
    return check;
  }
  const auto removed = AgentConfigurations::withoutOurEntries(agent, file.bytes, command);
  check.hooks = removed && *removed == file.bytes ? ConfigurationCheck::Hooks::none
                                                  : ConfigurationCheck::Hooks::partial;
  return check;
}

Result<RelayCheck, std::string> checkRelay(const Context& context) {
  const fs::path relay = AgentConfigurations::relayPath(context.home);
  const auto installed = readFile(relay, maximumProgramBytes);
  if (const auto* problem = std::get_if<std::string>(&installed)) {
    return *problem;
  }
  if (!std::get<FileText>(installed).exists) {
    return RelayCheck::missing;
  }
  const auto source = readFile(context.hookSource, maximumProgramBytes);
  if (const auto* problem = std::get_if<std::string>(&source)) {
    return *problem;
  }
  if (!std::get<FileText>(source).exists) {
    return "tarvel-hook was not found beside tarvel (looked for " + context.hookSource.string() +
           "), so the installed one cannot be compared with it";
  }
  if (std::get<FileText>(source).bytes != std::get<FileText>(installed).bytes) {
    return RelayCheck::different;
  }
  return ::access(relay.c_str(), X_OK) == 0 ? RelayCheck::current : RelayCheck::notExecutable;
}

CodexTrust checkCodexTrust(const Context& context) {
  const auto codex = Spawn::findProgram("codex", context.searchPath);
  if (!codex) {
    return CodexTrust::codexNotFound;
  }
  const auto listed =
      CodexHookTrust::listHooks(*codex, context.workingDirectory, context.codexDeadline);
  if (!listed) {
    return CodexTrust::noAnswer;
  }
  const auto ours = CodexHookTrust::hooksRunning(
      *listed,
      AgentConfigurations::hookCommand(*AgentCatalogue::of(AgentProvider::codex), context.home));
  if (ours.empty()) {
    return CodexTrust::notListed;
  }
  return std::all_of(ours.begin(), ours.end(), isTrusted) ? CodexTrust::trusted
                                                          : CodexTrust::untrusted;
}

std::optional<Context> currentContext(std::ostream& err) {
  Context context;
  if (const char* home = ::getenv("HOME"); home != nullptr && home[0] == '/') {  // NOLINT
    context.home = home;
  } else {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[16384];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
      err << "tarvel: cannot tell the home directory (HOME is not set)\n";
      return std::nullopt;
    }
    context.home = found->pw_dir;
  }
  std::error_code error;
  const auto self = fs::read_symlink("/proc/self/exe", error);
  if (error) {
    err << "tarvel: cannot find its own executable: " << error.message() << "\n";
    return std::nullopt;
  }
  context.hookSource = self.parent_path() / "tarvel-hook";
  context.workingDirectory = fs::current_path(error);
  if (error) {
    context.workingDirectory = context.home;
  }
  if (const char* path = ::getenv("PATH"); path != nullptr) {  // NOLINT(concurrency-mt-unsafe)
    context.searchPath = path;
  }
  for (const AgentRow* agent : AgentCatalogue::all()) {
    const std::string variable(agent->configuration.folderVariable);
    if (variable.empty()) {
      continue;
    }
    if (const char* folder = ::getenv(variable.c_str()); folder != nullptr) {  // NOLINT
      context.agentFolders[variable] = folder;
    }
  }
  return context;
}

}  // namespace tarvel::Installer
