#include "Tools/tarvel/Installer.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "TarvelCore/Platform/UniqueFd.hpp"
#include "Tools/tarvel/CodexHookTrust.hpp"

namespace tarvel::Installer {
namespace {

namespace fs = std::filesystem;
using AgentConfigurations::Agent;
using AgentConfigurations::Document;

// A configuration file larger than this is not one we edit.
constexpr std::size_t maximumFileBytes = 16 * 1024 * 1024;
constexpr std::size_t maximumProgramBytes = 512 * 1024 * 1024;

struct FileText {
  bool exists = false;
  std::string bytes;
  mode_t mode = 0644;
};

std::string errnoText(int error) { return std::strerror(error); }

// Reads a whole regular file; absent file gives exists == false; anything else that fails is the
// message in the error string.
std::variant<FileText, std::string> readFile(const fs::path& path,
                                             std::size_t limit = maximumFileBytes) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) {
    if (errno == ENOENT) {
      return FileText{};
    }
    return "cannot read " + path.string() + ": " + errnoText(errno);
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return path.string() + " is not a regular file";
  }
  FileText text{.exists = true, .mode = static_cast<mode_t>(status.st_mode & 07777)};
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

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Writes `bytes` to a temporary file beside `path` and renames it over `path`, so that readers
// see the old file or the new one, never a part. Returns the failure's message.
std::optional<std::string> writeAtomically(const fs::path& path, std::string_view bytes,
                                           mode_t mode) {
  std::string temporary =
      (path.parent_path() / ("." + path.filename().string() + ".tarvel-XXXXXX"));
  const UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file) {
    return "cannot create a temporary file beside " + path.string() + ": " + errnoText(errno);
  }
  const bool written =
      writeAll(file.get(), bytes) && ::fchmod(file.get(), mode) == 0 && ::fsync(file.get()) == 0;
  const int writeError = errno;
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = written ? errno : writeError;
    ::unlink(temporary.c_str());
    return "cannot write " + path.string() + ": " + errnoText(error);
  }
  return std::nullopt;
}

// The file an edit goes to: a symbolic link (a managed dotfile) is followed so that the link
// stays and its target changes.
fs::path editedPath(const fs::path& path) {
  std::error_code error;
  if (fs::is_symlink(fs::symlink_status(path, error))) {
    const auto target = fs::canonical(path, error);
    if (!error) {
      return target;
    }
  }
  return path;
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

// Parses a configuration: whitespace only counts as an empty object. On failure, says why.
std::variant<Document, std::string> parseConfiguration(Agent agent, const fs::path& path,
                                                       const FileText& file) {
  if (!file.exists || file.bytes.find_first_not_of(" \t\r\n") == std::string::npos) {
    return Document::object();
  }
  Document document = Document::parse(file.bytes, nullptr, false);
  if (document.is_discarded()) {
    const Document withComments = Document::parse(file.bytes, nullptr, false, true);
    if (!withComments.is_discarded()) {
      return path.string() +
             " contains comments, which rewriting it would lose; remove them or add the hooks "
             "by hand (tarvel install --dry-run shows them)";
    }
    return path.string() + " is not valid JSON";
  }
  if (auto problem = AgentConfigurations::shapeProblem(agent, document)) {
    return path.string() + " cannot be edited safely: " + *problem;
  }
  return document;
}

// Writes the backup and then the new configuration. Returns the failure's message.
std::optional<std::string> replaceConfiguration(const fs::path& path, const FileText& original,
                                                std::string_view bytes, std::ostream& out) {
  if (original.exists) {
    const fs::path backup = path.string() + ".tarvel-backup";
    if (auto problem = writeAtomically(backup, original.bytes, original.mode)) {
      return problem;
    }
    out << "Kept a copy of the previous file in " << backup.string() << "\n";
  } else if (auto problem = createDirectory(path.parent_path(), fs::perms(0755))) {
    return problem;
  }
  return writeAtomically(path, bytes, original.exists ? original.mode : 0644);
}

bool allTrusted(const std::vector<CodexHookTrust::ListedHook>& hooks) {
  for (const auto& hook : hooks) {
    if (hook.command.find(AgentConfigurations::hookMarker) != std::string::npos &&
        hook.trustStatus != "trusted" && hook.trustStatus != "managed") {
      return false;
    }
  }
  return true;
}

constexpr std::string_view reviewAdvice =
    "When Codex next starts it says \"hooks need review\": approve the tarvel hooks there "
    "(they run ~/.tarvel/bin/tarvel-hook).\n";

// Records our hooks as trusted in ~/.codex/config.toml, after asking Codex for their keys and
// hashes; checks with Codex that it now trusts them and puts the file back when it does not.
void trustCodexHooks(const Context& context, std::ostream& out, std::ostream& err) {
  const auto codex = CodexHookTrust::findExecutable("codex", context.searchPath);
  if (!codex) {
    out << "Codex was not found on PATH, so the hooks could not be marked as trusted. "
        << reviewAdvice;
    return;
  }
  const auto listed = CodexHookTrust::listHooks(*codex, context.workingDirectory);
  if (!listed) {
    out << codex->string() << " app-server did not list its hooks. " << reviewAdvice;
    return;
  }
  std::vector<CodexHookTrust::ListedHook> ours;
  for (const auto& hook : *listed) {
    if (hook.command.find(AgentConfigurations::hookMarker) != std::string::npos &&
        hook.trustStatus != "trusted" && hook.trustStatus != "managed") {
      ours.push_back(hook);
    }
  }
  if (ours.empty()) {
    out << "Codex already trusts the tarvel hooks.\n";
    return;
  }
  const fs::path config = editedPath(context.home / ".codex" / "config.toml");
  const auto original = readFile(config);
  if (const auto* problem = std::get_if<std::string>(&original)) {
    err << "tarvel: " << *problem << "\n";
    out << reviewAdvice;
    return;
  }
  const auto& file = std::get<FileText>(original);
  const std::string updated = CodexHookTrust::withTrustedHashes(file.bytes, ours);
  if (auto problem = replaceConfiguration(config,
                                          FileText{.exists = file.exists,
                                                   .bytes = file.bytes,
                                                   .mode = file.exists ? file.mode : mode_t{0600}},
                                          updated, out)) {
    err << "tarvel: " << *problem << "\n";
    out << reviewAdvice;
    return;
  }
  const auto check = CodexHookTrust::listHooks(*codex, context.workingDirectory);
  if (!check || !allTrusted(*check)) {
    // Codex did not take the edit (an unusual config.toml): leave the file as it was.
    if (file.exists) {
      (void)writeAtomically(config, file.bytes, file.mode);
    } else {
      ::unlink(config.c_str());
    }
    out << "Codex did not accept the trust entries, so " << config.string()
        << " was left as it was. " << reviewAdvice;
    return;
  }
  out << "Marked " << ours.size() << " tarvel hooks as trusted in " << config.string() << "\n";
}

std::string_view nextSteps(Agent agent) {
  switch (agent) {
    case Agent::claudeCode:
      return "Start a new Claude Code session: each step shows in the display (tarvel-monitor "
             "prints them), and permission requests, AskUserQuestion and ExitPlanMode wait up "
             "to 120 s for an answer from the display.\n";
    case Agent::codex:
      return "Start a new Codex session: each step shows in the display (tarvel-monitor prints "
             "them), and permission requests wait up to 120 s for an answer from the display.\n";
    case Agent::geminiCLI:
      return "Start a new Gemini CLI session in a trusted workspace: each step shows in the "
             "display (tarvel-monitor prints them).\n";
    case Agent::cursor:
      return "Restart Cursor: each agent step shows in the display (tarvel-monitor prints "
             "them).\n";
  }
  return "";
}

}  // namespace

std::string usage() {
  return "usage: tarvel install --agent claude-code|codex|gemini-cli|cursor [--dry-run]\n"
         "       tarvel uninstall --agent claude-code|codex|gemini-cli|cursor [--dry-run]\n";
}

std::variant<Options, std::string> parseOptions(const std::vector<std::string_view>& arguments) {
  if (arguments.empty()) {
    return std::string("a command is needed");
  }
  Options options;
  if (arguments[0] == "install") {
    options.action = Action::install;
  } else if (arguments[0] == "uninstall") {
    options.action = Action::uninstall;
  } else if (arguments[0] == "--help" || arguments[0] == "help") {
    return options;
  } else {
    return "unknown command \"" + std::string(arguments[0]) + "\"";
  }
  bool hasAgent = false;
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    const auto argument = arguments[index];
    if (argument == "--dry-run") {
      options.dryRun = true;
    } else if (argument == "--agent" || argument.starts_with("--agent=")) {
      std::string_view name;
      if (argument == "--agent") {
        if (index + 1 == arguments.size()) {
          return std::string("--agent needs an agent name");
        }
        name = arguments[++index];
      } else {
        name = argument.substr(std::string_view("--agent=").size());
      }
      const auto agent = AgentConfigurations::agentNamed(name);
      if (!agent) {
        return "unknown agent \"" + std::string(name) +
               "\" (choose claude-code, codex, gemini-cli or cursor)";
      }
      options.agent = *agent;
      hasAgent = true;
    } else {
      return "unknown option \"" + std::string(argument) + "\"";
    }
  }
  if (!hasAgent) {
    return std::string("--agent is required");
  }
  return options;
}

int run(const Options& options, const Context& context, std::ostream& out, std::ostream& err) {
  if (options.action == Action::help) {
    out << usage();
    return 0;
  }
  const Agent agent = options.agent;
  const fs::path path = editedPath(AgentConfigurations::configurationPath(agent, context.home));
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
  auto parsed = parseConfiguration(agent, path, file);
  if (const auto* problem = std::get_if<std::string>(&parsed)) {
    err << "tarvel: " << *problem << "; nothing was changed\n";
    return 1;
  }
  const Document& original = std::get<Document>(parsed);
  const Document result =
      options.action == Action::install
          ? AgentConfigurations::withOurEntries(
                agent, original, AgentConfigurations::hookCommand(agent, context.home))
          : AgentConfigurations::withoutOurEntries(original);
  const std::string bytes = result.dump(2) + "\n";

  if (options.dryRun) {
    out << bytes;
    err << "Dry run: nothing was written; this is what " << path.string() << " would hold.\n";
    return 0;
  }
  const fs::path relay = context.home / ".tarvel" / "bin" / "tarvel-hook";
  if (options.action == Action::install) {
    if (auto problem = installRelay(context, relay)) {
      err << "tarvel: " << *problem << "; nothing was changed in " << path.string() << "\n";
      return 1;
    }
    out << "Installed the hook relay as " << relay.string() << "\n";
  }
  const bool unchanged = file.exists && result == original;
  if (unchanged) {
    out << (options.action == Action::install
                ? path.string() + " already holds the tarvel hooks; it was not changed.\n"
                : path.string() + " holds no tarvel hooks; it was not changed.\n");
  } else {
    if (auto problem = replaceConfiguration(path, file, bytes, out)) {
      err << "tarvel: " << *problem << "\n";
      return 1;
    }
    out << (options.action == Action::install ? "Added the tarvel hooks for "
                                              : "Removed the tarvel hooks for ")
        << AgentConfigurations::agentDisplayName(agent)
        << (options.action == Action::install ? " to " : " from ") << path.string() << "\n";
  }
  if (options.action == Action::uninstall) {
    out << relay.string() << " stays for the other agents; delete it when none uses it.\n";
    return 0;
  }
  if (agent == Agent::codex) {
    trustCodexHooks(context, out, err);
  }
  out << nextSteps(agent);
  return 0;
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
  return context;
}

}  // namespace tarvel::Installer
