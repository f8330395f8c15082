#include "TarvelCore/Protocol/AgentReplySocketLocation.hpp"

#include "TarvelCore/Protocol/AgentSocketLocation.hpp"

namespace tarvel::AgentReplySocketLocation {

std::filesystem::path defaultURL() {
  return AgentSocketLocation::homeDirectory() / ".tarvel" / "reply.sock";
}

}  // namespace tarvel::AgentReplySocketLocation
