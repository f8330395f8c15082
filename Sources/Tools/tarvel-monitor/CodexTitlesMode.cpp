#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "QuoyaCore/CodexMetadataReader.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Spawn.hpp"
#include "Tools/tarvel-monitor/Modes.hpp"
#include "Tools/tarvel-monitor/MonitorOutput.hpp"

namespace tarvel::Monitor {
namespace {

// The first program named "codex" in a folder of PATH, or absent.
std::optional<std::filesystem::path> codexOnPath() {
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): read once at start
  return Spawn::findProgram("codex", path != nullptr ? path : "");
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
