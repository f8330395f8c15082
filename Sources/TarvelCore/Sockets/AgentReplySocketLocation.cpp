#include "TarvelCore/Sockets/AgentReplySocketLocation.hpp"

#include "TarvelCore/Sockets/AgentSocketLocation.hpp"

namespace tarvel::AgentReplySocketLocation {

std::filesystem::path defaultURL() {
  return AgentSocketLocation::homeDirectory() / ".tarvel" / "reply.sock";
}

}  // namespace tarvel::AgentReplySocketLocation
