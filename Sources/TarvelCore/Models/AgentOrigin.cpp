#include "TarvelCore/Models/AgentOrigin.hpp"

namespace tarvel {

Json Codable<AgentOrigin>::encode(const AgentOrigin& origin) {
  return JSONCoding::ObjectBuilder()
      .set("bundleIdentifier", origin.bundleIdentifier)
      .set("processIdentifier", origin.processIdentifier)
      .set("processStartedAt", origin.processStartedAt)
      .set("terminalProgram", origin.terminalProgram)
      .set("terminalSessionIdentifier", origin.terminalSessionIdentifier)
      .set("tty", origin.tty)
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
  };
}

}  // namespace tarvel
