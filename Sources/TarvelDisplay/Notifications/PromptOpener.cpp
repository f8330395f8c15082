#include "TarvelDisplay/Notifications/PromptOpener.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelDisplay/Shared/OpenPage.hpp"

namespace tarvel::Display {
namespace {

const Log::Logger& openerLog() {
  static const Log::Logger logger("notifications");
  return logger;
}

// `name` in the first directory of `searchPath` that holds it as a program.
std::optional<std::filesystem::path> programIn(std::string_view searchPath,
                                               std::string_view name) {
  while (true) {
    const auto end = searchPath.find(':');
    const std::string_view directory = searchPath.substr(0, end);
    if (!directory.empty()) {
      const std::filesystem::path candidate = std::filesystem::path(directory) / name;
      if (::access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (end == std::string_view::npos) {
      return std::nullopt;
    }
    searchPath.remove_prefix(end + 1);
  }
}

}  // namespace

std::optional<PromptOpener> PromptOpener::find(std::optional<std::string> page,
                                               std::filesystem::path directory,
                                               std::string_view searchPath,
                                               std::filesystem::path island) {
  // The program is left running after the service stops: it is the person's window now.
  const auto detacher = programIn(searchPath, "setsid");
  if (!detacher) {
    return std::nullopt;
  }
  PromptOpener opener;
  opener.detacher = *detacher;
  if (page) {
    if (const auto browser = programIn(searchPath, "xdg-open")) {
      opener.page = std::move(page);
      opener.directory = std::move(directory);
      opener.program = *browser;
      return opener;
    }
  }
  if (::access(island.c_str(), X_OK) != 0) {
    const auto found = programIn(searchPath, "tarvel-island");
    if (!found) {
      return std::nullopt;
    }
    island = *found;
  }
  if (const auto terminal = programIn(searchPath, "x-terminal-emulator")) {
    opener.program = *terminal;
    opener.island = std::move(island);
    return opener;
  }
  return std::nullopt;
}

std::vector<std::string> PromptOpener::command(const UUID& replyId) const {
  if (page) {
    const auto leading = OpenPage::write(directory, *page + "&prompt=" + replyId.uuidString());
    if (!leading) {
      openerLog().error("Cannot open the prompt: %s", {Log::value(leading.error())});
      return {};
    }
    return {program.string(), OpenPage::fileAddress(*leading)};
  }
  // The terminal display shows the prompt that waits longest, whole, with its answers.
  return {program.string(), "-e", island.string()};
}

bool PromptOpener::open(const UUID& replyId) const {
  std::vector<std::string> argv{detacher.string(), "--fork"};
  const auto shown = command(replyId);
  if (shown.empty()) {
    return false;
  }
  argv.insert(argv.end(), shown.begin(), shown.end());
  const auto started = Spawn::inOwnGroup(argv, {});
  if (!started) {
    openerLog().error("Cannot open the prompt: %s", {Log::value(started.error())});
    return false;
  }
  // setsid hands the program on to a child of its own and ends at once.
  int status = 0;
  while (::waitpid(*started, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    openerLog().error("Cannot open the prompt with %s", {Log::value(program.string())});
    return false;
  }
  return true;
}

}  // namespace tarvel::Display
