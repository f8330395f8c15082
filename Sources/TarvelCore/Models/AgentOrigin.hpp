#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "TarvelCore/Models/Coding.hpp"
#include "TarvelCore/Models/Date.hpp"

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

  bool operator==(const AgentOrigin&) const = default;
};

template <>
struct Codable<AgentOrigin> {
  static Json encode(const AgentOrigin& origin);
  static AgentOrigin decode(const Json& value, const std::string& path);
};

}  // namespace tarvel
