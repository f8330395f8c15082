#include "TarvelDisplay/Notifications/PromptOpener.hpp"

#include <unistd.h>

#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "TarvelDisplay/Shared/OpenPage.hpp"

namespace tarvel::Display {
namespace {

const Log::Logger& openerLog() {
  static const Log::Logger logger("notifications");
  return logger;
}

}  // namespace

std::optional<PromptOpener> PromptOpener::find(std::optional<std::string> page,
                                               std::filesystem::path directory,
                                               std::string_view searchPath,
                                               std::filesystem::path island) {
  // The program is left running after the service stops: it is the person's window now.
  const auto detacher = Spawn::findProgram("setsid", searchPath);
  if (!detacher) {
    return std::nullopt;
  }
  PromptOpener opener;
  opener.detacher = *detacher;
  if (page) {
    if (const auto browser = Spawn::findProgram("xdg-open", searchPath)) {
      opener.page = std::move(page);
      opener.directory = std::move(directory);
      opener.program = *browser;
      return opener;
    }
  }
  if (::access(island.c_str(), X_OK) != 0) {
    const auto found = Spawn::findProgram("tarvel-island", searchPath);
    if (!found) {
      return std::nullopt;
    }
    island = *found;
  }
  if (const auto terminal = Spawn::findProgram("x-terminal-emulator", searchPath)) {
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
  auto started = Spawn::start(argv, {});
  if (!started) {
    openerLog().error("Cannot open the prompt: %s", {Log::value(started.error())});
    return false;
  }
  // setsid hands the program on to a child of its own and ends at once.
  if (started->wait().exitStatus != 0) {
    openerLog().error("Cannot open the prompt with %s", {Log::value(program.string())});
    return false;
  }
  return true;
}

}  // namespace tarvel::Display
