#include "TarvelCore/Sockets/AgentReplySocketLocation.hpp"

#include "TarvelCore/Sockets/AgentSocketLocation.hpp"

namespace tarvel::AgentReplySocketLocation {

std::filesystem::path defaultURL() {
  return AgentSocketLocation::tarvelDirectory() / "reply.sock";
}

}  // namespace tarvel::AgentReplySocketLocation
