#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"

namespace tarvel {

// Where an agent runs: the host application, the agent process and its start time (which tells a
// reused process id apart), the terminal program, its session or pane, and the controlling TTY.
struct AgentOrigin {
  std::optional<std::string> bundleIdentifier;
  std::optional<std::int32_t> processIdentifier;
  std::optional<Date> processStartedAt;
  std::optional<std::string> terminalProgram;
  std::optional<std::string> terminalSessionIdentifier;
  std::optional<std::string> tty;
  // Inside tmux: the server ("TMUX": socket path, server pid, session) and the agent's pane
  // ("TMUX_PANE", such as "%3"), so that a display can switch a tmux client to the agent.
  std::optional<std::string> tmux;
  std::optional<std::string> tmuxPane;
  // The name of the machine the agent runs on (its host name); absent from older hooks. Readers
  // treat a host equal to their own machine's name as absent (see remoteHost()).
  std::optional<std::string> host;

  using Environment = std::map<std::string, std::string>;
  using StartTimeLookup = std::function<std::optional<Date>(std::int32_t)>;
  using TTYLookup = std::function<std::optional<std::string>(std::int32_t)>;
  using AliveLookup = std::function<bool(std::int32_t)>;

  // The origin of the agent process `processIdentifier` from its environment ("TERM_PROGRAM",
  // "TARVEL_BUNDLE_IDENTIFIER", "__CFBundleIdentifier", the terminal session variables, "TTY",
  // "TMUX", "TMUX_PANE")
  // and the system's answers about the process; absent when there is nothing to record. Blank
  // values count as absent. Ids below 1 record no process.
  static std::optional<AgentOrigin> captured(const Environment& environment,
                                             std::int32_t processIdentifier);
  // The same with the two process lookups supplied by the caller.
  static std::optional<AgentOrigin> captured(const Environment& environment,
                                             std::int32_t processIdentifier,
                                             const StartTimeLookup& processStartedAt,
                                             const TTYLookup& controllingTTY);

  // The bundle identifier of a known terminal or editor program (any letter case), such as
  // "iterm.app" -> "com.googlecode.iterm2"; absent for others.
  static std::optional<std::string> bundleIdentifierForProgram(std::string_view program);

  // True when every field is absent.
  bool isEmpty() const;
  // This machine's name, as hooks record it in `host`; empty when it cannot be told.
  static std::string localHost();
  // The host when it names a machine other than `localHost`; absent for an agent of that machine
  // and when no host (or an empty one) is recorded.
  std::optional<std::string> remoteHost(std::string_view localHost) const;
  // The same against this machine's name (looked up only when a host is recorded).
  std::optional<std::string> remoteHost() const;
  // Whether the host is a terminal emulator, or a graphical application (an editor, or any
  // unknown application with a bundle identifier).
  bool isTerminalEmulator() const;
  bool isGraphicalApplication() const;
  // The tmux server's socket path (the part of "TMUX" before its first comma); absent outside
  // tmux.
  std::optional<std::string> tmuxSocket() const;

  // Whether the recorded process still runs: alive, and (when a start time was recorded) started
  // within a millisecond of the recorded time, so a reused process id does not match.
  bool matchesRunningProcess(const AliveLookup& processAlive,
                             const StartTimeLookup& currentStartedAt) const;
  // The same with the system's lookups.
  bool matchesRunningProcess() const;

  bool operator==(const AgentOrigin&) const = default;
};

template <>
struct Codable<AgentOrigin> {
  static Json encode(const AgentOrigin& origin);
  static AgentOrigin decode(const Json& value, const std::string& path);
};

}  // namespace tarvel

template <>
struct std::hash<tarvel::AgentOrigin> {
  std::size_t operator()(const tarvel::AgentOrigin& origin) const;
};
