#include "TarvelCore/Models/AgentOrigin.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

// Program names as TERM_PROGRAM reports them, lower-cased.
constexpr std::array<std::string_view, 9> terminalPrograms{
    "apple_terminal", "iterm.app", "ghostty", "warpterminal", "wezterm",
    "kitty",          "alacritty", "hyper",   "tabby",
};
constexpr std::array<std::string_view, 2> graphicalPrograms{"vscode", "zed"};
// Bundle identifiers are compared exactly.
constexpr std::array<std::string_view, 10> terminalBundles{
    "com.apple.Terminal",     "com.googlecode.iterm2", "com.mitchellh.ghostty",
    "dev.warp.Warp-Stable",   "com.github.wez.wezterm", "net.kovidgoyal.kitty",
    "org.alacritty",          "io.alacritty",          "co.zeit.hyper",
    "org.tabby",
};
constexpr std::array<std::pair<std::string_view, std::string_view>, 10> programBundles{{
    {"apple_terminal", "com.apple.Terminal"},
    {"iterm.app", "com.googlecode.iterm2"},
    {"vscode", "com.microsoft.VSCode"},
    {"warpterminal", "dev.warp.Warp-Stable"},
    {"wezterm", "com.github.wez.wezterm"},
    {"ghostty", "com.mitchellh.ghostty"},
    {"kitty", "net.kovidgoyal.kitty"},
    {"alacritty", "org.alacritty"},
    {"hyper", "co.zeit.hyper"},
    {"tabby", "org.tabby"},
}};

template <std::size_t count>
bool contains(const std::array<std::string_view, count>& set, std::string_view value) {
  return std::find(set.begin(), set.end(), value) != set.end();
}

// The first non-blank value among `keys`, trimmed.
std::optional<std::string> firstValue(const AgentOrigin::Environment& environment,
                                      std::initializer_list<std::string_view> keys) {
  for (const std::string_view key : keys) {
    const auto found = environment.find(std::string(key));
    if (found == environment.end()) {
      continue;
    }
    if (auto value = nonEmpty(found->second)) {
      return value;
    }
  }
  return std::nullopt;
}

enum class ProgramKind { terminal, graphical, unknown };

ProgramKind programKind(const std::optional<std::string>& program) {
  if (!program) {
    return ProgramKind::unknown;
  }
  const std::string lowered = Text::lowercased(*program);
  if (contains(terminalPrograms, lowered)) {
    return ProgramKind::terminal;
  }
  if (contains(graphicalPrograms, lowered)) {
    return ProgramKind::graphical;
  }
  return ProgramKind::unknown;
}

}  // namespace

std::optional<AgentOrigin> AgentOrigin::captured(const Environment& environment,
                                                 std::int32_t processIdentifier) {
  return captured(environment, processIdentifier, AgentProcessIdentity::startedAt,
                  AgentProcessIdentity::controllingTTY);
}

std::optional<AgentOrigin> AgentOrigin::captured(const Environment& environment,
                                                 std::int32_t processIdentifier,
                                                 const StartTimeLookup& processStartedAt,
                                                 const TTYLookup& controllingTTY) {
  AgentOrigin origin;
  origin.terminalProgram = firstValue(environment, {"TERM_PROGRAM"});
  origin.bundleIdentifier =
      firstValue(environment, {"TARVEL_BUNDLE_IDENTIFIER", "__CFBundleIdentifier"});
  if (!origin.bundleIdentifier && origin.terminalProgram) {
    origin.bundleIdentifier = bundleIdentifierForProgram(*origin.terminalProgram);
  }
  origin.terminalSessionIdentifier = firstValue(
      environment, {"TERM_SESSION_ID", "ITERM_SESSION_ID", "WEZTERM_PANE", "KITTY_WINDOW_ID"});
  origin.tty = firstValue(environment, {"TTY"});
  origin.tmux = firstValue(environment, {"TMUX"});
  origin.tmuxPane = firstValue(environment, {"TMUX_PANE"});
  if (!origin.tty && controllingTTY) {
    origin.tty = controllingTTY(processIdentifier);
  }
  if (processIdentifier >= 1) {
    origin.processIdentifier = processIdentifier;
    if (processStartedAt) {
      origin.processStartedAt = processStartedAt(processIdentifier);
    }
  }
  if (origin.isEmpty()) {
    return std::nullopt;
  }
  return origin;
}

std::optional<std::string> AgentOrigin::bundleIdentifierForProgram(std::string_view program) {
  const std::string lowered = Text::lowercased(program);
  for (const auto& [name, bundle] : programBundles) {
    if (name == lowered) {
      return std::string(bundle);
    }
  }
  return std::nullopt;
}

bool AgentOrigin::isEmpty() const {
  return !bundleIdentifier && !processIdentifier && !processStartedAt && !terminalProgram &&
         !terminalSessionIdentifier && !tty && !tmux && !tmuxPane && !host;
}

std::string AgentOrigin::localHost() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    return {};
  }
  return name;
}

std::optional<std::string> AgentOrigin::remoteHost(std::string_view localHost) const {
  if (!host || host->empty() || *host == localHost) {
    return std::nullopt;
  }
  return host;
}

std::optional<std::string> AgentOrigin::remoteHost() const {
  if (!host || host->empty()) {
    return std::nullopt;
  }
  return remoteHost(localHost());
}

std::optional<std::string> AgentOrigin::tmuxSocket() const {
  if (!tmux) {
    return std::nullopt;
  }
  std::string socket = tmux->substr(0, tmux->find(','));
  if (socket.empty()) {
    return std::nullopt;
  }
  return socket;
}

bool AgentOrigin::isTerminalEmulator() const {
  switch (programKind(terminalProgram)) {
    case ProgramKind::terminal:
      return true;
    case ProgramKind::graphical:
      return false;
    case ProgramKind::unknown:
      break;
  }
  return bundleIdentifier && contains(terminalBundles, *bundleIdentifier);
}

bool AgentOrigin::isGraphicalApplication() const {
  switch (programKind(terminalProgram)) {
    case ProgramKind::terminal:
      return false;
    case ProgramKind::graphical:
      return true;
    case ProgramKind::unknown:
      break;
  }
  // Any application that is not a known terminal counts as graphical.
  return bundleIdentifier && !bundleIdentifier->empty() &&
         !contains(terminalBundles, *bundleIdentifier);
}

bool AgentOrigin::matchesRunningProcess(const AliveLookup& processAlive,
                                        const StartTimeLookup& currentStartedAt) const {
  if (!processIdentifier || !processAlive || !processAlive(*processIdentifier)) {
    return false;
  }
  if (!processStartedAt) {
    return true;
  }
  const auto current = currentStartedAt ? currentStartedAt(*processIdentifier) : std::nullopt;
  if (!current) {
    return false;
  }
  const auto difference = *current > *processStartedAt ? *current - *processStartedAt
                                                       : *processStartedAt - *current;
  return difference < std::chrono::milliseconds(1);
}

bool AgentOrigin::matchesRunningProcess() const {
  return matchesRunningProcess(AgentProcessIdentity::isRunning, AgentProcessIdentity::startedAt);
}

Json Codable<AgentOrigin>::encode(const AgentOrigin& origin) {
  return JSONCoding::ObjectBuilder()
      .set("bundleIdentifier", origin.bundleIdentifier)
      .set("processIdentifier", origin.processIdentifier)
      .set("processStartedAt", origin.processStartedAt)
      .set("terminalProgram", origin.terminalProgram)
      .set("terminalSessionIdentifier", origin.terminalSessionIdentifier)
      .set("tty", origin.tty)
      .set("tmux", origin.tmux)
      .set("tmuxPane", origin.tmuxPane)
      .set("host", origin.host)
      .build();
}

AgentOrigin Codable<AgentOrigin>::decode(const Json& value, const std::string& path) {
  const JSONCoding::Fields fields(value, path);
  return AgentOrigin{
      .bundleIdentifier = fields.optional<std::string>("bundleIdentifier"),
      .processIdentifier = fields.optional<std::int32_t>("processIdentifier"),
      .processStartedAt = fields.optional<Date>("processStartedAt"),
      .terminalProgram = fields.optional<std::string>("terminalProgram"),
      .terminalSessionIdentifier = fields.optional<std::string>("terminalSessionIdentifier"),
      .tty = fields.optional<std::string>("tty"),
      .tmux = fields.optional<std::string>("tmux"),
      .tmuxPane = fields.optional<std::string>("tmuxPane"),
      .host = fields.optional<std::string>("host"),
  };
}

}  // namespace tarvel

std::size_t std::hash<tarvel::AgentOrigin>::operator()(const tarvel::AgentOrigin& origin) const {
  std::size_t seed = 0;
  const auto mix = [&seed](std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
  };
  const auto mixOptional = [&mix](const auto& value) {
    mix(value.has_value() ? 1 : 0);
    if (value) {
      using Value = std::decay_t<decltype(*value)>;
      if constexpr (std::is_same_v<Value, tarvel::Date>) {
        mix(std::hash<std::int64_t>{}(value->time_since_epoch().count()));
      } else {
        mix(std::hash<Value>{}(*value));
      }
    }
  };
  mixOptional(origin.bundleIdentifier);
  mixOptional(origin.processIdentifier);
  mixOptional(origin.processStartedAt);
  mixOptional(origin.terminalProgram);
  mixOptional(origin.terminalSessionIdentifier);
  mixOptional(origin.tty);
  mixOptional(origin.tmux);
  mixOptional(origin.tmuxPane);
  mixOptional(origin.host);
  return seed;
}
