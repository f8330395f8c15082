#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"

namespace tarvel::Monitor {

// What tarvel-monitor was asked to do. Each mode reads the fields it needs.
// To add a mode: a Mode enumerator, its flags here, its options in MonitorOptions.cpp, and a
// run function in its own file declared in Modes.hpp.
struct MonitorOptions {
  enum class Mode { events, store, codexTitles, sessions, help };

  Mode mode = Mode::events;
  std::optional<std::filesystem::path> socketPath;  // --socket PATH
  bool island = false;                              // --island: the island's event socket
  std::int64_t maximumPayloadBytes = 1 << 20;       // --max-payload BYTES
  std::optional<std::filesystem::path> codexExecutable;  // --codex PATH (default: codex on PATH)
  std::vector<std::string> threadIds;                    // the arguments after --codex-titles
  bool pretty = false;  // --pretty: --sessions prints a readable summary instead of JSON
};

// Parses the arguments after the program name; fails with a message for standard error.
Result<MonitorOptions, std::string> parseOptions(std::span<const std::string_view> arguments);

// The socket the options name: --socket, --island's socket, else the core library's default.
std::filesystem::path socketPath(const MonitorOptions& options);

std::string_view usage();

}  // namespace tarvel::Monitor
