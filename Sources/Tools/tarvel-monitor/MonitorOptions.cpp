#include "Tools/tarvel-monitor/MonitorOptions.hpp"

#include <array>
#include <charconv>

#include "QuoyaCore/IslandPaths.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"

namespace tarvel::Monitor {
namespace {

// One command-line option: its name, whether a value follows it, and what it sets.
// `apply` returns an error message, or nothing when the option was taken.
struct OptionSpec {
  std::string_view name;
  bool takesValue = false;
  std::optional<std::string> (*apply)(MonitorOptions& options, std::string_view value) = nullptr;
};

std::optional<std::string> applySocket(MonitorOptions& options, std::string_view value) {
  if (value.empty()) {
    return "--socket needs a path";
  }
  options.socketPath = std::filesystem::path(value);
  return std::nullopt;
}

std::optional<std::string> applyIsland(MonitorOptions& options, std::string_view /*value*/) {
  options.island = true;
  return std::nullopt;
}

std::optional<std::string> applyMaximumPayload(MonitorOptions& options, std::string_view value) {
  std::int64_t bytes = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), bytes);
  if (error != std::errc() || end != value.data() + value.size() || bytes < 1) {
    return "--max-payload needs a positive number of bytes, not \"" + std::string(value) + "\"";
  }
  options.maximumPayloadBytes = bytes;
  return std::nullopt;
}

std::optional<std::string> applyStore(MonitorOptions& options, std::string_view /*value*/) {
  if (options.mode != MonitorOptions::Mode::help) {
    options.mode = MonitorOptions::Mode::store;
  }
  return std::nullopt;
}

std::optional<std::string> applySessions(MonitorOptions& options, std::string_view /*value*/) {
  if (options.mode != MonitorOptions::Mode::help) {
    options.mode = MonitorOptions::Mode::sessions;
  }
  return std::nullopt;
}

std::optional<std::string> applyPretty(MonitorOptions& options, std::string_view /*value*/) {
  options.pretty = true;
  return std::nullopt;
}

std::optional<std::string> applyCodexTitles(MonitorOptions& options, std::string_view /*value*/) {
  if (options.mode != MonitorOptions::Mode::help) {
    options.mode = MonitorOptions::Mode::codexTitles;
  }
  return std::nullopt;
}

std::optional<std::string> applyCodex(MonitorOptions& options, std::string_view value) {
  if (value.empty()) {
    return "--codex needs a path";
  }
  options.codexExecutable = std::filesystem::path(value);
  return std::nullopt;
}

std::optional<std::string> applyHelp(MonitorOptions& options, std::string_view /*value*/) {
  options.mode = MonitorOptions::Mode::help;
  return std::nullopt;
}

constexpr std::array<OptionSpec, 10> optionTable{{
    {"--socket", true, applySocket},
    {"--island", false, applyIsland},
    {"--store", false, applyStore},
    {"--sessions", false, applySessions},
    {"--pretty", false, applyPretty},
    {"--max-payload", true, applyMaximumPayload},
    {"--codex-titles", false, applyCodexTitles},
    {"--codex", true, applyCodex},
    {"--help", false, applyHelp},
    {"-h", false, applyHelp},
}};

}  // namespace

Result<MonitorOptions, std::string> parseOptions(std::span<const std::string_view> arguments) {
  MonitorOptions options;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string_view argument = arguments[index];
    const OptionSpec* entry = nullptr;
    for (const OptionSpec& candidate : optionTable) {
      if (candidate.name == argument) {
        entry = &candidate;
      }
    }
    if (entry == nullptr && options.mode == MonitorOptions::Mode::codexTitles &&
        !argument.starts_with("-")) {
      options.threadIds.emplace_back(argument);  // a thread id for --codex-titles
      continue;
    }
    if (entry == nullptr) {
      return "unknown argument \"" + std::string(argument) + "\"";
    }
    std::string_view value;
    if (entry->takesValue) {
      if (index + 1 >= arguments.size()) {
        return std::string(entry->name) + " needs a value";
      }
      value = arguments[++index];
    }
    if (auto error = entry->apply(options, value)) {
      return *error;
    }
  }
  if (options.socketPath && options.island) {
    return std::string("--socket and --island cannot be used together");
  }
  return options;
}

std::filesystem::path socketPath(const MonitorOptions& options) {
  if (options.socketPath) {
    return *options.socketPath;
  }
  if (options.island) {
    return quoya::IslandPaths::socket();
  }
  return AgentSocketLocation::defaultURL();
}

std::string_view usage() {
  return "usage: tarvel-monitor [--socket PATH | --island] [--store | --sessions [--pretty]]\n"
         "                      [--max-payload BYTES]\n"
         "  Listens on the event socket (default ~/.tarvel/agent.sock; --island:\n"
         "  ~/.quoya-island/events.sock) and prints every event received as one JSON line.\n"
         "  --store: offers each event to an island store and prints, after each, one JSON\n"
         "  line with the store's state and whether the event was accepted.\n"
         "  --sessions: folds each event into an activity service and prints, after each\n"
         "  change, one JSON line with its sessions, attention event and notch snapshot\n"
         "  (--pretty: a short readable summary instead).\n"
         "  Stops on SIGINT or SIGTERM, removing its socket file.\n"
         "usage: tarvel-monitor --codex-titles [--codex PATH] ID...\n"
         "  Asks the Codex program (PATH, default codex on PATH) for the titles of the given\n"
         "  threads and prints them as one JSON line mapping thread id to title.\n"
         "usage: tarvel-monitor --version\n";
}

}  // namespace tarvel::Monitor
