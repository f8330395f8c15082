#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "QuoyaCore/CodexMetadataReader.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"
#include "Tools/tarvel-monitor/Modes.hpp"
#include "Tools/tarvel-monitor/MonitorOutput.hpp"

namespace tarvel::Monitor {
namespace {

// The first executable file named "codex" in a directory of PATH, or absent.
std::optional<std::filesystem::path> codexOnPath() {
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): read once at start
  if (path == nullptr) {
    return std::nullopt;
  }
  for (const std::string& directory : Text::split(path, ":")) {
    const std::filesystem::path candidate =
        std::filesystem::path(directory.empty() ? "." : directory) / "codex";
    if (::access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate)) {
      return candidate;
    }
  }
  return std::nullopt;
}

}  // namespace

int runCodexTitles(const MonitorOptions& options) {
  std::filesystem::path executable;
  if (options.codexExecutable) {
    executable = *options.codexExecutable;
  } else if (auto found = codexOnPath()) {
    executable = *found;
  } else {
    writeAll(STDERR_FILENO, "tarvel-monitor: no codex on PATH; name it with --codex PATH\n");
  }
  const auto titles = quoya::CodexMetadataReader::readTitles(options.threadIds, executable);
  Json map = Json::object();
  for (const auto& [id, title] : titles) {
    map[id] = title;
  }
  writeAll(STDOUT_FILENO, Coding::encode(map) + "\n");
  return 0;
}

}  // namespace tarvel::Monitor
